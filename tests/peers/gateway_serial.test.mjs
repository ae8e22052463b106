// libmbus reads kestrel over a serial line (a socat pty pair).
import { describePeerTests } from './peer_suite.mjs';

describePeerTests('serial');
