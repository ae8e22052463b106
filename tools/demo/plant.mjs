// A whole plant on one machine: the Modbus slave simulator on one end of a
// socat pty pair with kestrel on the other end, or the simulator as a Modbus
// TCP server on a loopback port that kestrel connects to, and kestrel's
// M-Bus side on a loopback TCP port or on a second pty pair, all under a
// temporary KESTREL_ROOT. Used by the peer tests and by scripts/demo.
import { spawn, spawnSync } from 'node:child_process';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const sourceDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const require = createRequire(import.meta.url);

const kDeadlineMs = 10000;
const kPollMs = 20;

// Why the peer tests cannot run here, or null when everything is present.
export function missingPeerTooling() {
  for (const name of ['KESTREL_BINARY', 'MODBUS_SIM_BINARY']) {
    const file = process.env[name];
    if (!file || !fs.existsSync(file)) return `${name} is not set to a built binary (libmodbus-dev missing?)`;
  }
  if (spawnSync('socat', ['-V']).error) return 'socat is not installed';
  try {
    require('node-mbus');
  } catch (error) {
    return `node-mbus cannot be loaded (run npm install --nodedir=/usr in tools/demo): ${error.message}`;
  }
  return null;
}

export function loadMbusMaster() {
  return require('node-mbus');
}

async function waitUntil(condition, what, deadlineMs = kDeadlineMs) {
  const end = Date.now() + deadlineMs;
  while (Date.now() < end) {
    if (await condition()) return;
    await new Promise((resolve) => setTimeout(resolve, kPollMs));
  }
  throw new Error(`timed out waiting for ${what}`);
}

// Waits until file has not changed for quietMs (a trace log: the gateway has
// worked off whatever was waiting for it).
export async function waitForQuietFile(file, quietMs) {
  let size = -1;
  let since = Date.now();
  await waitUntil(() => {
    const now = fs.statSync(file).size;
    if (now !== size) {
      size = now;
      since = Date.now();
    }
    return Date.now() - since >= quietMs;
  }, `${file} to stay unchanged for ${quietMs} ms`, 3 * kDeadlineMs);
}

function freeTcpPort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// A child process whose output is kept for the failure message.
class Child {
  constructor(name, command, args, env) {
    this.name = name;
    this.output = '';
    this.exited = false;
    this.process = spawn(command, args, { env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'pipe'] });
    this.exit = new Promise((resolve) => {
      this.process.once('exit', (code, signal) => {
        this.exited = true;
        this.output += `(${name} ended: ${signal ?? `status ${code}`})\n`;
        resolve({ code, signal });
      });
      this.process.once('error', (error) => {
        this.output += `${error.message}\n`;
        this.exited = true;
        resolve({ code: null, signal: null });
      });
    });
    for (const stream of [this.process.stdout, this.process.stderr]) {
      stream.on('data', (chunk) => { this.output += chunk; });
    }
  }

  // SIGTERM, then SIGKILL if it does not end in time.
  async stop() {
    if (this.exited) return;
    this.process.kill('SIGTERM');
    const timer = setTimeout(() => this.process.kill('SIGKILL'), 3000);
    await this.exit;
    clearTimeout(timer);
  }

  async waitFor(condition, what) {
    await waitUntil(() => {
      if (this.exited) throw new Error(`${this.name} ended early:\n${this.output}`);
      return condition();
    }, `${this.name}: ${what}`);
  }
}

// Sets key in section of INI text (case-insensitive names), appending it to
// the section when it is missing; a value of null takes the key out.
export function setIniKey(text, section, key, value) {
  const lines = text.split('\n');
  let inSection = false;
  let lastLineOfSection = -1;
  for (let i = 0; i < lines.length; i++) {
    const header = /^\s*\[([^\]]*)\]/.exec(lines[i]);
    if (header) {
      inSection = header[1].trim().toLowerCase() === section.toLowerCase();
      if (inSection) lastLineOfSection = i;
      continue;
    }
    if (!inSection) continue;
    const entry = /^\s*([^=;#]+?)\s*=/.exec(lines[i]);
    if (entry && entry[1].toLowerCase() === key.toLowerCase()) {
      if (value === null) lines.splice(i, 1);
      else lines[i] = `${key} = ${value}`;
      return lines.join('\n');
    }
    if (lines[i].trim() !== '') lastLineOfSection = i;
  }
  if (value === null) return text;
  if (lastLineOfSection < 0) return `${text}\n[${section}]\n${key} = ${value}\n`;
  lines.splice(lastLineOfSection + 1, 0, `${key} = ${value}`);
  return lines.join('\n');
}

function withKeys(text, keys) {
  for (const [section, entries] of Object.entries(keys)) {
    for (const [key, value] of Object.entries(entries)) text = setIniKey(text, section, key, value);
  }
  return text;
}

function exampleConfig(name) {
  return fs.readFileSync(path.join(sourceDir, 'config', name), 'utf8');
}

async function startPtyPair(dir, name) {
  const ends = [path.join(dir, `${name}-a`), path.join(dir, `${name}-b`)];
  const child = new Child(`socat ${name}`, 'socat',
    ['-d', '-d', ...ends.map((end) => `pty,raw,echo=0,link=${end}`)]);
  await child.waitFor(() => ends.every((end) => fs.existsSync(end)), 'both pty links');
  return { child, ends };
}

// options:
//   deviceFile     the DeviceFile's text (written as config/meters.xml)
//   registerFile   the simulator's register file text
//   mbus           'tcp' (a TCP server on 127.0.0.1, free port) or 'serial'
//   modbusParity   parity letter of the Modbus line (default N)
//   modbus         'serial' (default) or 'tcp': the simulator as a Modbus TCP
//                  server, read with framing = mbap and reconnect = 1
//   keys           further INI keys for kestrel.ini, { Section: { key: value } };
//                  a value of null leaves the key out
//   masterTimeoutMs  libmbus' answer timeout over TCP (default 500)
// Returns { root, traceLog, startupLog, masterOptions, stop({ keepFiles }), outputs(),
// restartModbus() } (the last over TCP only: a new simulator on the same port).
export async function startPlant(options) {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrel-plant-'));
  const children = [];
  // Ends every process of the plant; the files stay only when asked to.
  const stop = async ({ keepFiles = false } = {}) => {
    for (const child of [...children].reverse()) await child.stop();
    if (!keepFiles) fs.rmSync(root, { recursive: true, force: true });
  };
  try {
    fs.mkdirSync(path.join(root, 'config'));
    fs.mkdirSync(path.join(root, 'tmp'));
    const parity = options.modbusParity ?? 'N';

    fs.writeFileSync(path.join(root, 'registers.txt'), options.registerFile);
    const startSimulator = async (where) => {
      const simulator = new Child('modbus_sim', process.env.MODBUS_SIM_BINARY,
        [...where, path.join(root, 'registers.txt')]);
      children.push(simulator);
      await simulator.waitFor(() => simulator.output.includes('serving'), 'its ready line');
      return simulator;
    };
    const hardware = { Main: { LO: 'lo' } };
    let modbusSection;
    let restartModbus = null;
    if (options.modbus === 'tcp') {
      const port = await freeTcpPort();
      let simulator = await startSimulator(['-t', String(port)]);
      restartModbus = async () => {
        await simulator.stop();
        simulator = await startSimulator(['-t', String(port)]);
      };
      modbusSection = { porttype: 'TCP', localip: 'LO', remoteip: '127.0.0.1', remoteport: port, server: 0,
        framing: 'mbap', reconnect: 1 };
    } else {
      const modbusLine = await startPtyPair(root, 'modbus');
      children.push(modbusLine.child);
      await startSimulator(['-b', '9600', '-p', parity, modbusLine.ends[1]]);
      hardware.Main.RS485 = modbusLine.ends[0];
      modbusSection = { porttype: 'SER', sercomport: 'RS485', serbaudrate: 9600, serparity: parity };
    }

    const mbusSection = {};
    let masterOptions;
    if (options.mbus === 'serial') {
      const mbusLine = await startPtyPair(root, 'mbus');
      children.push(mbusLine.child);
      hardware.Main.RS232 = mbusLine.ends[0];
      // RS232, not MBSLAVE1: an M-Bus slave interface expects the echo of
      // what it sends, and a pty gives none. libmbus always asks for even
      // parity, which a pty ignores, so the gateway's side says N. At 4800
      // baud libmbus waits 0.3 s for an answer. (At 2400 node-mbus fails to
      // open a pty, at 300 to 38400 baud otherwise it does.)
      Object.assign(mbusSection, { porttype: 'SER', sercomport: 'RS232', serbaudrate: 4800, serparity: 'N' });
      masterOptions = { serialPort: mbusLine.ends[1], serialBaudRate: 4800 };
    } else {
      const port = await freeTcpPort();
      Object.assign(mbusSection, { porttype: 'TCP', localip: 'LO', localport: port, server: 1 });
      masterOptions = { host: '127.0.0.1', port, timeout: options.masterTimeoutMs ?? 500 };
    }

    const config = path.join(root, 'config');
    const mainConfig = withKeys(exampleConfig('kestrel.ini'), {
      Main: { FILENAME: 'meters.xml' },
      ModbusPort: modbusSection,
      MBusPort: mbusSection,
    });
    fs.writeFileSync(path.join(config, 'kestrel.ini'), withKeys(mainConfig, options.keys ?? {}));
    fs.writeFileSync(path.join(config, 'corvid_hw.ini'), withKeys(exampleConfig('corvid_hw.ini'), hardware));
    fs.writeFileSync(path.join(config, 'kestrel_default.ini'), exampleConfig('kestrel_default.ini'));
    fs.writeFileSync(path.join(config, 'meters.xml'), options.deviceFile);
    const traceLog = path.join(root, 'tmp', 'kestrel.log');
    fs.writeFileSync(traceLog, '');  // its presence switches tracing on

    const gateway = new Child('kestrel', process.env.KESTREL_BINARY, [], { KESTREL_ROOT: root });
    children.push(gateway);
    // The PID file is first written by the main loop, so the gateway is up.
    await gateway.waitFor(() => fs.existsSync(path.join(root, 'tmp', 'kestrel.pid')), 'its PID file');
    return {
      root,
      traceLog,
      masterOptions,
      startupLog: path.join(root, 'tmp', 'kestrel_startup.log'),
      stop,
      restartModbus,
      outputs: () => children.map((child) => `--- ${child.name}\n${child.output}`).join('\n'),
    };
  } catch (error) {
    await stop();
    throw error;
  }
}
