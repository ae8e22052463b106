// The reading side of scripts/demo: runs the example plant of config/
// (meters.xml served by tools/modbus_sim from meters_sim.txt) with kestrel
// on a loopback TCP port, reads every meter with libmbus and prints a table.
// With --watch it reads again every few seconds until interrupted.
import fs from 'node:fs';
import path from 'node:path';

import { loadMbusMaster, missingPeerTooling, sourceDir, startPlant } from './plant.mjs';

const kWatchPeriodMs = 5000;
const kLetterPrefixes = { m: 1e-3, my: 1e-6, k: 1e3, M: 1e6, G: 1e9 };

const watch = process.argv.includes('--watch');
let stopping = false;
let wakeUp = () => {};

// libmbus writes the units of VIF extension FDh without a quantity.
const kQuantityOfUnit = { V: 'Voltage', A: 'Current' };

// "Volume (1e-2  m^3)" -> { quantity: 'Volume', factor: 0.01, unit: 'm^3' };
// a prefix that libmbus writes apart from the unit ("m m^3") is folded into
// the factor, one written together with it ("kWh") stays. "1e-1  V" (no
// quantity) -> { quantity: 'Voltage', factor: 0.1, unit: 'V' }.
export function splitUnit(text) {
  const match = /^(.*?) \((.*)\)$/.exec(text ?? '');
  let rest = (match ? match[2] : String(text ?? '')).trim();
  let factor = 1;
  const numeric = /^(1e-?\d+|10|100)\s+(.*)$/.exec(rest);
  if (numeric) {
    factor = Number(numeric[1]);
    rest = numeric[2];
  }
  const letter = /^(my|m|k|M|G)\s+(.*)$/.exec(rest);
  if (letter) {
    factor *= kLetterPrefixes[letter[1]];
    rest = letter[2];
  }
  const unit = rest.replace(/\s+/g, ' ');
  if (match) return { quantity: match[1], factor, unit };
  if (kQuantityOfUnit[unit]) return { quantity: kQuantityOfUnit[unit], factor, unit };
  return { quantity: String(text ?? ''), factor: 1, unit: '' };
}

function formatValue(value, factor) {
  if (typeof value !== 'number') return String(value);
  const decimals = Math.max(0, Math.round(-Math.log10(factor)));
  return (value * factor).toFixed(Number.isInteger(value) ? decimals : Math.max(decimals, 2));
}

function describe(record, quantity) {
  const notes = [];
  if (record.Function && record.Function !== 'Instantaneous value') notes.push(record.Function.toLowerCase());
  if (record.StorageNumber > 0) notes.push(`storage ${record.StorageNumber}`);
  if (record.Tariff > 0) notes.push(`tariff ${record.Tariff}`);
  if (record.Device > 0) notes.push(`subunit ${record.Device}`);
  return notes.length > 0 ? `${quantity}, ${notes.join(', ')}` : quantity;
}

function meterRows(address, data) {
  const info = data.SlaveInformation;
  const head = [String(address), String(info.Id), info.Medium];
  return data.DataRecord.map((record, i) => {
    const { quantity, factor, unit } = splitUnit(record.Unit);
    const lead = i === 0 ? head : ['', '', ''];
    return [...lead, describe(record, quantity), formatValue(record.Value, factor), unit];
  });
}

function printTable(rows) {
  const header = ['Address', 'Id number', 'Medium', 'Description', 'Value', 'Unit'];
  const widths = header.map((title, c) => Math.max(title.length, ...rows.map((row) => row[c].length)));
  const line = (row) => row.map((cell, c) => (c === 4 ? cell.padStart(widths[c]) : cell.padEnd(widths[c])))
    .join('  ').trimEnd();
  console.log(line(header));
  console.log(widths.map((w) => '-'.repeat(w)).join('  '));
  for (const row of rows) console.log(line(row));
}

function primaryAddresses(xml) {
  return [...xml.matchAll(/<Device\b[^>]*\bPrimaryAddress="(\d+)"/g)].map((m) => Number(m[1]));
}

// Reads every meter once; true when all of them answered.
async function readAll(master, addresses) {
  const rows = [];
  let allAnswered = true;
  for (const address of addresses) {
    try {
      rows.push(...meterRows(address, await master.getDataAsync(address, { pingFirst: false })));
    } catch (error) {
      allAnswered = false;
      rows.push([String(address), '-', '-', `no answer (${error.message})`, '', '']);
    }
  }
  console.log(`\n${new Date().toLocaleTimeString()}`);
  printTable(rows);
  return allAnswered;
}

async function main() {
  const missing = missingPeerTooling();
  if (missing) throw new Error(`cannot run the demo: ${missing}`);
  const deviceFile = fs.readFileSync(path.join(sourceDir, 'config', 'meters.xml'), 'utf8');
  const registerFile = fs.readFileSync(path.join(sourceDir, 'config', 'meters_sim.txt'), 'utf8');
  console.log('Starting socat, the Modbus simulator (tools/modbus_sim) and kestrel ...');
  // The example configuration, but with more patience for the Modbus
  // answers: on a busy machine the simulator may be scheduled late.
  const plant = await startPlant({
    deviceFile, registerFile, mbus: 'tcp', modbusParity: 'E', masterTimeoutMs: 1000,
    keys: { ModbusPort: { timeout: 1000 } },
  });
  let ok = false;
  try {
    const { host, port } = plant.masterOptions;
    console.log(`kestrel answers M-Bus on ${host}:${port}; Modbus runs over a pty pair to the simulator.`);
    console.log(`Trace log: ${plant.traceLog}`);
    console.log(`Start-up log: ${plant.startupLog}`);
    const MbusMaster = loadMbusMaster();
    const master = new MbusMaster(plant.masterOptions);
    await master.connectAsync();
    const addresses = primaryAddresses(deviceFile);
    ok = await readAll(master, addresses);
    while (watch && !stopping) {
      await new Promise((resolve) => {
        wakeUp = resolve;
        setTimeout(resolve, kWatchPeriodMs);
      });
      if (!stopping) ok = (await readAll(master, addresses)) && ok;
    }
    await master.closeAsync();
  } finally {
    await plant.stop({ keepFiles: true });
    console.log(`\nStopped socat, the simulator and kestrel. Logs stay in ${plant.root}/tmp`);
  }
  return ok;
}

for (const signal of ['SIGINT', 'SIGTERM']) {
  process.on(signal, () => {
    stopping = true;
    wakeUp();
  });
}

main().then((ok) => process.exit(ok || watch ? 0 : 1), (error) => {
  console.error(error.message);
  process.exit(1);
});
