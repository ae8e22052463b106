// libmbus reads kestrel over a loopback TCP connection.
import { describePeerTests } from './peer_suite.mjs';

describePeerTests('tcp');
