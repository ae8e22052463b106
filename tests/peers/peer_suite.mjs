// The tests run against kestrel with libmbus (node-mbus) as the M-Bus
// master, once per M-Bus transport. Without collisions and multi_telegram,
// every meter of test_plant.mjs is read with getData's defaults (SND_NKE
// first, then REQ_UD2), the secondary addresses are scanned, and a meter
// whose Modbus slave is absent must not answer while the others still do.
// With both switched on, a scan of the same meters finds every one of them,
// and a meter of three telegrams is read whole. With modbus 'tcp' the slaves
// are units of a Modbus TCP server: every meter is read, and again after the
// server restarted.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { after, before, describe, it } from 'node:test';

import { loadMbusMaster, missingPeerTooling, startPlant, waitForQuietFile } from '../../tools/demo/plant.mjs';
import {
  deviceFile, expectedId, expectedRecords, expectedSecondaryAddress, hasValidSecondaryAddress, meters, registerFile,
  scanPlantMeters, threeTelegramMeter,
} from './test_plant.mjs';

// Longer than one Modbus transaction with both attempts run out (2 x 1000
// polls of about a millisecond, each after a wait of up to 1000 ms for the
// line to fall quiet), during which the gateway traces nothing.
const kQuietTraceMs = 5000;

// Longest a read may take after the Modbus TCP server restarted: the
// plant's reconnect (1 s) and 2 s.
const kReconnectedWithinMs = 3000;

// Generous Modbus and frame timeouts: on a loaded machine the simulator and
// socat may be scheduled late, and a dropped answer would only test
// libmbus' retries.
const kGatewayKeys = { ModbusPort: { timeout: 1000 }, MBusPort: { timeout: 10000 } };

// Starts a plant of plantMeters before the tests of the describe block it is
// called in, with a libmbus master connected, and stops both after them.
// check(fn) runs fn and, when it fails, adds the gateway's trace and the
// processes' output to the message.
function usePlant(transport, modbus, plantMeters, { mbusKeys, masterTimeoutMs }) {
  const used = { plant: null, master: null };
  before(async () => {
    used.plant = await startPlant({
      deviceFile: deviceFile(plantMeters), registerFile: registerFile(plantMeters), mbus: transport, modbus,
      masterTimeoutMs,
      keys: { ...kGatewayKeys, MBusPort: { ...kGatewayKeys.MBusPort, ...mbusKeys } },
    });
    const MbusMaster = loadMbusMaster();
    used.master = new MbusMaster(used.plant.masterOptions);
    await used.master.connectAsync();
  });
  after(async () => {
    if (used.master) await used.master.closeAsync();
    if (used.plant) await used.plant.stop();
  });
  used.check = async (fn) => {
    try {
      await fn();
    } catch (error) {
      error.message += `\n--- trace log\n${fs.readFileSync(used.plant.traceLog, 'utf8').slice(-6000)}\n` +
        used.plant.outputs();
      throw error;
    }
  };
  return used;
}

function present(m) {
  return hasValidSecondaryAddress(m) && !m.absent;
}

export function describePeerTests(transport, { modbus = 'serial' } = {}) {
  const missing = missingPeerTooling();
  // The line ctest looks for to report the test as skipped.
  if (missing) console.log(`peer tooling missing: ${missing}`);

  const modbusTcp = modbus === 'tcp';
  const title = `kestrel read by libmbus over ${transport}${modbusTcp ? ', its meters Modbus TCP units' : ''}`;
  describe(title, { skip: missing ?? false }, () => {
    // The example configuration switches both on: here they are left out.
    const used = usePlant(transport, modbus, meters, {
      mbusKeys: { collisions: null, multi_telegram: null }, masterTimeoutMs: 1000,
    });

    for (const m of meters.filter((x) => !x.absent)) {
      it(`getData reads meter ${m.address} (IntReverse ${m.intReverse}, FloatMode ${m.floatMode})`, () =>
        used.check(async () => {
          const data = await used.master.getDataAsync(m.address);
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
        used.check(async () => {
          // getData itself waits for answers that never come (its SND_NKE
          // to FDh): its own time is measured first.
          const m = meters[0];
          let started = Date.now();
          await used.master.getDataAsync(m.address);
          const readMs = Date.now() - started;
          await used.plant.restartModbus();
          started = Date.now();
          let data = null;
          while (data === null && Date.now() - started < readMs + kReconnectedWithinMs) {
            data = await used.master.getDataAsync(m.address).catch(() => null);
          }
          const tookMs = Date.now() - started;
          assert.notEqual(data, null, 'no answer after the restart');
          assert.ok(tookMs < readMs + kReconnectedWithinMs, `answered after ${tookMs} ms, a read takes ${readMs} ms`);
          assert.deepEqual(data.DataRecord.map(({ Timestamp, ...rest }) => rest), expectedRecords(m));
          assert.match(fs.readFileSync(used.plant.traceLog, 'utf8'),
            /Modbus TCP connection lost[\s\S]*Modbus TCP connected to 127\.0\.0\.1:/);
        }));
      return;
    }

    it('getData advances the access number by one per read', () =>
      used.check(async () => {
        const first = await used.master.getDataAsync(meters[0].address);
        const second = await used.master.getDataAsync(meters[0].address);
        assert.equal(second.SlaveInformation.AccessNumber, (first.SlaveInformation.AccessNumber + 1) % 256);
      }));

    it('getData by secondary address reads the selected meter', () =>
      used.check(async () => {
        const wanted = meters[2];
        const data = await used.master.getDataAsync(expectedSecondaryAddress(wanted));
        assert.equal(data.SlaveInformation.Id, expectedId(wanted));
        assert.deepEqual(data.DataRecord.map(({ Timestamp, ...rest }) => rest), expectedRecords(wanted));
      }));

    it('a wildcard selection matching several meters selects the first of them', () =>
      used.check(async () => {
        // On a real bus every matching meter would answer E5h at once and
        // libmbus would see a collision; without collisions the gateway
        // answers once, for the first matching Device in document order.
        const data = await used.master.getDataAsync('FFFFFFFFFFFFFFFF');
        assert.equal(data.SlaveInformation.Id, expectedId(meters[0]));
      }));

    it('setPrimaryId gets no answer and changes nothing', () =>
      used.check(async () => {
        // libmbus sends the primary address record (DIF 01h, VIF 7Ah, new
        // address). The gateway's SND_UD is a register write: byte 9 of the
        // frame (here the new address, 8) names the Object (meter 1 has an
        // Object 8), and its value bytes must follow. This frame has none, so
        // it is not answered. (libmbus first checks that nothing answers at
        // the new address, so it must be one no meter has.)
        const unusedAddress = 8;
        assert.ok(meters.every((m) => m.address !== unusedAddress));
        await assert.rejects(used.master.setPrimaryIdAsync(meters[0].address, unusedAddress), /No reply from device/);
        const data = await used.master.getDataAsync(meters[0].address);
        assert.equal(data.SlaveInformation.Id, expectedId(meters[0]));
      }));

    it('scanSecondary finds only the first meter of each leading digit', () =>
      used.check(async () => {
        // Each wildcard probe selects the first matching meter only, so
        // libmbus never sees a collision and never narrows a pattern: of
        // the meters whose numbers start with 1 it finds the first.
        const found = await used.master.scanSecondaryAsync();
        const firstOfDigit = meters.filter(present)
          .filter((m, i, all) => all.findIndex((other) => other.id[0] === m.id[0]) === i);
        assert.deepEqual([...found].sort(), firstOfDigit.map(expectedSecondaryAddress).sort());
        assert.ok(firstOfDigit.length < meters.filter(present).length);
      }));

    it('a meter whose Modbus slave is absent does not answer, the others still do', () =>
      used.check(async () => {
        const absent = meters.find((m) => m.absent);
        await assert.rejects(used.master.getDataAsync(absent.address), /Failed to (send\/receive|initialize)/);
        // While the gateway waits out the absent slave (two Modbus attempts),
        // libmbus repeats its requests; they reach the gateway as one read,
        // which is dropped whole. Let that happen before the next meter.
        await waitForQuietFile(used.plant.traceLog, kQuietTraceMs);
        // The first request after a failed one waits until the Modbus line
        // has been quiet for the ModbusPort timeout (1 s here), longer than
        // libmbus waits over serial: the master may have to ask again, as a
        // real one would.
        let data = null;
        for (let attempt = 0; data === null && attempt < 3; ++attempt) {
          data = await used.master.getDataAsync(meters[1].address).catch(() => null);
          if (data === null) await waitForQuietFile(used.plant.traceLog, kQuietTraceMs);
        }
        assert.notEqual(data, null);
        assert.equal(data.DataRecord.length, meters[1].records.length);
      }));
  });

  // The switches concern the M-Bus side only: read over the serial Modbus line.
  if (modbusTcp) return;
  describe(`kestrel with collisions and multi_telegram read by libmbus over ${transport}`,
    { skip: missing ?? false }, () => {
      // libmbus waits 0.3 s for an answer over a serial line at 4800 baud;
      // the same over TCP keeps the scan's many unanswered probes short.
      const used = usePlant(transport, modbus, scanPlantMeters, {
        mbusKeys: { collisions: 'yes', multi_telegram: 'yes' }, masterTimeoutMs: 300,
      });

      it('getData reads every record of a meter in three telegrams', () =>
        used.check(async () => {
          const m = threeTelegramMeter;
          const data = await used.master.getDataAsync(m.address);
          assert.equal(data.SlaveInformation.Id, expectedId(m));
          // libmbus numbers the records of all telegrams on, the DIF 1Fh
          // that closes the first two included, and names the telegram of each.
          const follow = data.DataRecord.filter((r) => r.Function === 'More records follow');
          assert.deepEqual(follow.map((r) => r.frame), [0, 1]);
          const records = data.DataRecord.filter((r) => r.Function !== 'More records follow');
          assert.deepEqual(records.map((r) => r.frame), m.records.map((r) => r.telegram - 1));
          assert.deepEqual(records.map(({ id, frame, Timestamp, ...rest }) => rest),
            expectedRecords(m).map(({ id, ...rest }) => rest));
        }));

      it('a wildcard selection matching several meters is a collision', () =>
        used.check(async () => {
          await assert.rejects(used.master.getDataAsync('FFFFFFFFFFFFFFFF'), /matches more than one device/);
        }));

      // Last: the absent meter's selection holds up the Modbus line.
      it('scanSecondary finds every meter with a valid secondary address whose slave answers', () =>
        used.check(async () => {
          const found = await used.master.scanSecondaryAsync();
          assert.deepEqual([...found].sort(), scanPlantMeters.filter(present).map(expectedSecondaryAddress).sort());
        }));
    });
}
