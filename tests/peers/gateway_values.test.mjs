// What libmbus (node-mbus) shows of the values a device does not mean as
// numbers: records sent as "no data" for a SunSpec device's "no value"
// contents, a Monotonic counter held while its device's value dips, and
// values whose scale registers move their VIF's exponent.
// The Modbus slaves are units of a simulator serving over Modbus TCP, so
// that a dip is a new register file and a restart of the simulator.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';

import { loadMbusMaster, missingPeerTooling, startPlant } from '../../tools/demo/plant.mjs';

const kSunSpecSlave = 20;
const kCounterSlave = 21;
const kInverterSlave = 22;
// Longest a read may take after the simulator restarted: the plant's
// reconnect (1 s) and 2 s.
const kReconnectedWithinMs = 3000;

// Each type's SunSpec "no value", an accumulator's 0 (its own NoValue) and one
// value among them; register, type, register file value, Vib, NoValue.
const kSunSpecObjects = [
  [100, 'INT16', '-32768', 2, '2B'],
  [101, 'UINT16', '65535', 2, '2B'],
  [102, 'INT32', '-2147483648', 4, '2B'],
  [104, 'UINT32', '4294967295', 4, '03'],
  [106, 'FLOAT', 'nan', 5, '2B'],
  [108, 'INT64', '-9223372036854775808', 7, '03'],
  [112, 'UINT64', '18446744073709551615', 7, '03'],
  [116, 'UINT32', '0', 4, '03', '00000000'],
  [118, 'INT16', '1234', 2, '2B'],
];

function deviceFile() {
  const device = (id, address, slave, extra) =>
    `  <Device DeviceId="${id}" PrimaryAddress="${address}" IdNumber="459900${address}0" Medium="02" Status="00"` +
    ` SlaveAddress="${slave}" InitFunction="03" InitRegister="100" Base="0" ComSettings="N" FloatMode="0"` +
    ` IntReverse="0"${extra}>\n`;
  const object = (id, n, register, type, dataField, vib, more = '') =>
    `    <Object DeviceId="${id}" ObjectId="${n}" ModbusFunction="3" RegisterRead="${register}" ModbusDT="${type}"` +
    ` Function="0" MBusDT="${dataField}" Storage="0" Tariff="0" SubUnit="0" Vib="${vib}"${more}/>\n`;
  return '<?xml version="1.0"?>\n<Meters>\n' +
    device('sunspec', 3, kSunSpecSlave, ' BlockReads="1" NoValue="sunspec"') +
    kSunSpecObjects.map(([register, type, , dataField, vib, noValue], j) =>
      object('sunspec', j + 1, register, type, dataField, vib, noValue ? ` NoValue="${noValue}"` : '')).join('') +
    '  </Device>\n' +
    device('counter', 4, kCounterSlave, '') + object('counter', 2, 200, 'UINT32', 4, '03', ' Monotonic="1"') +
    '  </Device>\n' +
    // W and W_SF in one block; WH (an accumulator) with WH_SF apart.
    device('inverter', 5, kInverterSlave, ' BlockReads="1" NoValue="sunspec"') +
    object('inverter', 1, 300, 'INT16', 2, '2B', ' ScaleRegister="301"') +
    object('inverter', 2, 302, 'UINT32', 4, '03', ' ScaleRegister="310" NoValue="00000000"') +
    '  </Device>\n</Meters>\n';
}

// The counter's value and the inverter's W_SF and WH_SF.
function registerFile({ counter = 12400, wScale = -1, whScale = 3 } = {}) {
  return [...kSunSpecObjects.map(([register, type, value]) => `${kSunSpecSlave} holding ${register} ${type} 0 ${value}`),
    `${kCounterSlave} holding 200 UINT32 0 ${counter}`,
    `${kInverterSlave} holding 300 INT16 0 1234`, `${kInverterSlave} holding 301 INT16 0 ${wScale}`,
    `${kInverterSlave} holding 302 UINT32 0 74565`, `${kInverterSlave} holding 310 INT16 0 ${whScale}`, ''].join('\n');
}

const missing = missingPeerTooling();
if (missing) console.log(`peer tooling missing: ${missing}`);

describe('values without meaning as numbers, read by libmbus', { skip: missing ?? false }, () => {
  let plant = null;
  let master = null;
  before(async () => {
    plant = await startPlant({ deviceFile: deviceFile(), registerFile: registerFile(), mbus: 'tcp',
      modbus: 'tcp', masterTimeoutMs: 1000,
      keys: { ModbusPort: { timeout: 1000 }, MBusPort: { timeout: 10000, collisions: null, multi_telegram: null } } });
    const MbusMaster = loadMbusMaster();
    master = new MbusMaster(plant.masterOptions);
    await master.connectAsync();
  });
  after(async () => {
    if (master) await master.closeAsync();
    if (plant) await plant.stop();
  });

  // Meter address read once the devices hold new registers: a new
  // register file, a restarted simulator, reads until the gateway has reconnected.
  async function readAfterRestart(address, registers) {
    fs.writeFileSync(path.join(plant.root, 'registers.txt'), registerFile(registers));
    await plant.restartModbus();
    const started = Date.now();
    let data = null;
    while (data === null && Date.now() - started < kReconnectedWithinMs) {
      data = await master.getDataAsync(address).catch(() => null);
    }
    assert.notEqual(data, null, 'no answer after the restart');
    return data;
  }

  const records = (data) => data.DataRecord.map(({ Timestamp, id, Function, StorageNumber, ...rest }) => rest);

  it('shows a record sent as "no data" with its unit and an empty value, and status 2', async () => {
    const data = await master.getDataAsync(3);
    assert.equal(data.SlaveInformation.Status, 2);
    const units = { '2B': 'Power (W)', '03': 'Energy (Wh)' };
    assert.deepEqual(records(data), kSunSpecObjects.map(([, , value, , vib], j) =>
      ({ Unit: units[vib], Value: j === kSunSpecObjects.length - 1 ? Number(value) : '' })));
    assert.ok(data.DataRecord.every((r) => r.Function === 'Instantaneous value' && r.StorageNumber === 0));
  });

  it('shows a counter that dips as the value held, with status 2, until it recovers', async () => {
    const first = await master.getDataAsync(4);
    assert.deepEqual([first.SlaveInformation.Status, records(first)], [0, [{ Unit: 'Energy (Wh)', Value: 12400 }]]);
    const dipped = await readAfterRestart(4, { counter: 12345 });
    assert.deepEqual([dipped.SlaveInformation.Status, records(dipped)], [2, [{ Unit: 'Energy (Wh)', Value: 12400 }]]);
    const recovered = await readAfterRestart(4, { counter: 12401 });
    assert.deepEqual([recovered.SlaveInformation.Status, records(recovered)],
      [0, [{ Unit: 'Energy (Wh)', Value: 12401 }]]);
  });

  it('shows a value with its scale in the unit, as read together, and no value for a scale out of range', async () => {
    const show = (data) => [data.SlaveInformation.Status, records(data)];
    assert.deepEqual(show(await master.getDataAsync(5)),
      [0, [{ Unit: 'Power (1e-1 W)', Value: 1234 }, { Unit: 'Energy (kWh)', Value: 74565 }]]);
    assert.deepEqual(show(await readAfterRestart(5, { wScale: 0, whScale: 0 })),
      [0, [{ Unit: 'Power (W)', Value: 1234 }, { Unit: 'Energy (Wh)', Value: 74565 }]]);
    // A record without value shows the Vib's own unit.
    assert.deepEqual(show(await readAfterRestart(5, { wScale: 5, whScale: -4 })),
      [2, [{ Unit: 'Power (W)', Value: '' }, { Unit: 'Energy (Wh)', Value: '' }]]);
  });
});
