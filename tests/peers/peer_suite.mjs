// The tests run against kestrel with libmbus (node-mbus) as the M-Bus
// master, once per M-Bus transport. Every meter of test_plant.mjs is read
// with getData's defaults (SND_NKE first, then REQ_UD2), the secondary
// addresses are scanned, and a meter whose Modbus slave is absent must not
// answer while the others still do. With modbus 'tcp' the slaves are units
// of a Modbus TCP server: every meter is read, and again after the server
// restarted.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { after, before, describe, it } from 'node:test';

import { loadMbusMaster, missingPeerTooling, startPlant, waitForQuietFile } from '../../tools/demo/plant.mjs';
import {
  deviceFile, expectedId, expectedRecords, expectedSecondaryAddress, hasValidSecondaryAddress, meters, registerFile,
} from './test_plant.mjs';

// Longer than one Modbus transaction with both attempts run out (2 x 1000
// polls of about a millisecond, each after a wait of up to 1000 ms for the
// line to fall quiet), during which the gateway traces nothing.
const kQuietTraceMs = 5000;

// Longest a read may take after the Modbus TCP server restarted: the
// plant's reconnect (1 s) and 2 s.
const kReconnectedWithinMs = 3000;

export function describePeerTests(transport, { modbus = 'serial' } = {}) {
  const missing = missingPeerTooling();
  // The line ctest looks for to report the test as skipped.
  if (missing) console.log(`peer tooling missing: ${missing}`);

  const modbusTcp = modbus === 'tcp';
  const title = `kestrel read by libmbus over ${transport}${modbusTcp ? ', its meters Modbus TCP units' : ''}`;
  describe(title, { skip: missing ?? false }, () => {
    let plant;
    let master;

    before(async () => {
      // Generous Modbus and frame timeouts: on a loaded machine the
      // simulator and socat may be scheduled late, and a dropped answer
      // would only test libmbus' retries.
      plant = await startPlant({
        deviceFile: deviceFile(), registerFile: registerFile(), mbus: transport, modbus, masterTimeoutMs: 1000,
        keys: { ModbusPort: { timeout: 1000 }, MBusPort: { timeout: 10000 } },
      });
      const MbusMaster = loadMbusMaster();
      master = new MbusMaster(plant.masterOptions);
      await master.connectAsync();
    });

    after(async () => {
      if (master) await master.closeAsync();
      if (plant) await plant.stop();
    });

    // Runs a check; on failure adds the gateway's trace and the processes'
    // output to the message.
    async function withTrace(check) {
      try {
        await check();
      } catch (error) {
        error.message += `\n--- trace log\n${fs.readFileSync(plant.traceLog, 'utf8').slice(-6000)}\n${plant.outputs()}`;
        throw error;
      }
    }

    for (const m of meters.filter((x) => !x.absent)) {
      it(`getData reads meter ${m.address} (IntReverse ${m.intReverse}, FloatMode ${m.floatMode})`, () =>
        withTrace(async () => {
          const data = await master.getDataAsync(m.address);
          assert.equal(data.SlaveInformation.Id, expectedId(m));
          assert.equal(data.SlaveInformation.Manufacturer, 'ZQX');
          assert.equal(data.SlaveInformation.Version, 16);
          assert.equal(data.SlaveInformation.Medium, m.mediumName);
          const records = data.DataRecord.map(({ Timestamp, ...rest }) => rest);
          assert.deepEqual(records, expectedRecords(m));
        }));
    }

    if (modbusTcp) {
      it(`a restarted Modbus TCP server is read again within ${kReconnectedWithinMs} ms more than a read takes`, () =>
        withTrace(async () => {
          // getData itself waits for answers that never come (its SND_NKE
          // to FDh): its own time is measured first.
          const m = meters[0];
          let started = Date.now();
          await master.getDataAsync(m.address);
          const readMs = Date.now() - started;
          await plant.restartModbus();
          started = Date.now();
          let data = null;
          while (data === null && Date.now() - started < readMs + kReconnectedWithinMs) {
            data = await master.getDataAsync(m.address).catch(() => null);
          }
          const tookMs = Date.now() - started;
          assert.notEqual(data, null, 'no answer after the restart');
          assert.ok(tookMs < readMs + kReconnectedWithinMs, `answered after ${tookMs} ms, a read takes ${readMs} ms`);
          assert.deepEqual(data.DataRecord.map(({ Timestamp, ...rest }) => rest), expectedRecords(m));
          assert.match(fs.readFileSync(plant.traceLog, 'utf8'), /Modbus TCP connection lost[\s\S]*Modbus TCP connected to 127\.0\.0\.1:/);
        }));
      return;
    }

    it('getData advances the access number by one per read', () =>
      withTrace(async () => {
        const first = await master.getDataAsync(meters[0].address);
        const second = await master.getDataAsync(meters[0].address);
        assert.equal(second.SlaveInformation.AccessNumber, (first.SlaveInformation.AccessNumber + 1) % 256);
      }));

    it('getData by secondary address reads the selected meter', () =>
      withTrace(async () => {
        const wanted = meters[2];
        const data = await master.getDataAsync(expectedSecondaryAddress(wanted));
        assert.equal(data.SlaveInformation.Id, expectedId(wanted));
        assert.deepEqual(data.DataRecord.map(({ Timestamp, ...rest }) => rest), expectedRecords(wanted));
      }));

    it('a wildcard selection matching several meters selects the first of them', () =>
      withTrace(async () => {
        // On a real bus every matching meter would answer E5h at once and
        // libmbus would see a collision; the gateway answers once, for the
        // first matching Device in document order, so libmbus reads it.
        const data = await master.getDataAsync('FFFFFFFFFFFFFFFF');
        assert.equal(data.SlaveInformation.Id, expectedId(meters[0]));
      }));

    it('setPrimaryId gets no answer and changes nothing', () =>
      withTrace(async () => {
        // libmbus sends the primary address record (DIF 01h, VIF 7Ah, new
        // address). The gateway's SND_UD is a register write: byte 9 of the
        // frame (here the new address, 8) names the Object (meter 1 has an
        // Object 8), and its value bytes must follow. This frame has none, so
        // it is not answered. (libmbus first checks that nothing answers at
        // the new address, so it must be one no meter has.)
        const unusedAddress = 8;
        assert.ok(meters.every((m) => m.address !== unusedAddress));
        await assert.rejects(master.setPrimaryIdAsync(meters[0].address, unusedAddress), /No reply from device/);
        const data = await master.getDataAsync(meters[0].address);
        assert.equal(data.SlaveInformation.Id, expectedId(meters[0]));
      }));

    it('scanSecondary finds every meter with a valid secondary address whose slave answers', () =>
      withTrace(async () => {
        // Each wildcard probe selects the first matching meter only (the
        // gateway answers E5h once for all of them), so libmbus never sees a
        // collision: the plant's valid numbers start with different digits.
        const found = await master.scanSecondaryAsync();
        const expected = meters.filter((m) => hasValidSecondaryAddress(m) && !m.absent).map(expectedSecondaryAddress);
        assert.deepEqual([...found].sort(), expected.sort());
      }));

    it('a meter whose Modbus slave is absent does not answer, the others still do', () =>
      withTrace(async () => {
        const absent = meters.find((m) => m.absent);
        await assert.rejects(master.getDataAsync(absent.address), /Failed to (send\/receive|initialize)/);
        // While the gateway waits out the absent slave (two Modbus attempts),
        // libmbus repeats its requests; they reach the gateway as one read,
        // which is dropped whole. Let that happen before the next meter.
        await waitForQuietFile(plant.traceLog, kQuietTraceMs);
        // The first request after a failed one waits until the Modbus line
        // has been quiet for the ModbusPort timeout (1 s here), longer than
        // libmbus waits over serial: the master may have to ask again, as a
        // real one would.
        let data = null;
        for (let attempt = 0; data === null && attempt < 3; ++attempt) {
          data = await master.getDataAsync(meters[1].address).catch(() => null);
          if (data === null) await waitForQuietFile(plant.traceLog, kQuietTraceMs);
        }
        assert.notEqual(data, null);
        assert.equal(data.DataRecord.length, meters[1].records.length);
      }));
  });
}
