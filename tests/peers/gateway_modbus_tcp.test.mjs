// libmbus reads kestrel over a loopback TCP connection; kestrel reads its
// meters as units of the simulator's Modbus TCP server (framing = mbap).
import { describePeerTests } from './peer_suite.mjs';

describePeerTests('tcp', { modbus: 'tcp' });
