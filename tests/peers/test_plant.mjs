// The plant the peer tests read: four meters that between them carry every
// Modbus data type in all four register orders, a meter whose Modbus slave
// is absent, and two meters whose identification numbers are not valid
// secondary addresses. Three identification numbers start with 1, two of
// them differ only in the last digit. The scan plant adds a meter of about
// 600 bytes of records in three telegrams, whose number also starts with
// the digit of another's. The DeviceFile, the simulator's register file and
// what libmbus must decode all come from the tables below.

// One record per Modbus data type. value(k) is the value the simulator holds
// for meter k; unit is libmbus' text for the Vib; extra header fields go
// into the DIF and DIFEs.
const kSweepRecords = [
  { type: 'INT16', mbusDT: 2, vib: '5A', unit: 'Flow temperature (1e-1 deg C)', value: (k) => -1234 - k },
  { type: 'UINT16', mbusDT: 2, vib: '2B', unit: 'Power (W)', value: (k) => (k === 3 ? 50000 : 4660 + k) },
  { type: 'INT32', mbusDT: 4, vib: '06', unit: 'Energy (kWh)', value: (k) => -19088743 - k, storage: 1 },
  { type: 'UINT32', mbusDT: 4, vib: '13', unit: 'Volume (m m^3)', value: (k) => (k === 3 ? 3000000000 : 305419896 + k) },
  { type: 'MOD32', mbusDT: 4, vib: '05', unit: 'Energy (100 Wh)', value: (k) => alternate(k, 12345678 + k), tariff: 1 },
  { type: 'FLOAT', mbusDT: 5, vib: '3B', unit: 'Volume flow (m m^3/h)', value: (k) => alternate(k, 21.5 + k) },
  { type: 'INT48', mbusDT: 6, vib: '0E', unit: 'Energy (MJ)', value: (k) => -20015998343868 - k, subUnit: 1 },
  { type: 'UINT48', mbusDT: 6, vib: '863C', unit: 'Energy (kWh)', value: (k) => 20015998343868 + k },
  { type: 'MOD48', mbusDT: 6, vib: '2E', unit: 'Power (kW)', value: (k) => alternate(k, 123456789012 + k) },
  { type: 'INT64', mbusDT: 7, vib: '5E', unit: 'Return temperature (1e-1 deg C)', value: (k) => -5124095576030430 - k, fn: 1 },
  { type: 'UINT64', mbusDT: 7, vib: '03', unit: 'Energy (Wh)', value: (k) => 5124095576030430 + k, fn: 2 },
  { type: 'MOD64', mbusDT: 7, vib: 'FB01', unit: 'Energy (MWh)', value: (k) => alternate(k, 1234567890123456 + k) },
];

const kShortRecords = kSweepRecords.filter((r) => r.type === 'INT32' || r.type === 'FLOAT');

function alternate(k, magnitude) {
  return k % 2 === 1 ? -magnitude : magnitude;
}

const kRegisterSizes = { INT16: 1, UINT16: 1, INT32: 2, UINT32: 2, MOD32: 2, FLOAT: 2,
  INT48: 3, UINT48: 3, MOD48: 3, INT64: 4, UINT64: 4, MOD64: 4 };
const kFirstRegister = 100;
const kRegisterStride = 4;
const kFunctionNames = ['Instantaneous value', 'Maximum value', 'Minimum value', 'Value during error state'];

function meter(k, fields) {
  return { k, comSettings: 'N', base: 0, slave: 10 + k, records: kSweepRecords, ...fields };
}

// k numbers the meter; intReverse and floatMode are the Device's order
// selectors; base is written in hexadecimal as the Device attribute wants.
export const meters = [
  meter(1, { address: 1, id: '10000001', medium: '04', mediumName: 'Heat: Outlet', intReverse: 0, floatMode: 1 }),
  meter(2, { address: 2, id: '10000002', medium: '07', mediumName: 'Water', intReverse: 1, floatMode: 2, base: 40001 }),
  meter(3, { address: 3, id: '15000003', medium: '02', mediumName: 'Electricity', intReverse: 2, floatMode: 3 }),
  meter(4, { address: 4, id: '30000004', medium: '03', mediumName: 'Gas', intReverse: 3, floatMode: 0, base: 40001 }),
  meter(5, { address: 5, id: '50000005', medium: '04', mediumName: 'Heat: Outlet', intReverse: 0, floatMode: 0,
    slave: 99, absent: true, records: kShortRecords }),
  meter(6, { address: 6, id: '6000000A', medium: '07', mediumName: 'Water', intReverse: 0, floatMode: 0,
    records: kShortRecords }),
  meter(7, { address: 7, id: '7000001', medium: '07', mediumName: 'Water', intReverse: 0, floatMode: 0,
    records: kShortRecords }),
];

// Six copies of the sweep, told apart by their values and storage numbers,
// 24 records (about 200 bytes) to a telegram.
const kRecordsPerTelegram = 24;
const kCopies = 6;
const kThreeTelegramRecords = Array.from({ length: kCopies }, (_, c) => kSweepRecords.map((r) => ({
  ...r, storage: (r.storage ?? 0) + c, value: (k) => r.value(k + 10 * c),
}))).flat().map((r, j) => ({ ...r, telegram: Math.floor(j / kRecordsPerTelegram) + 1 }));

export const threeTelegramMeter = meter(8, {
  address: 8, id: '38000008', medium: '04', mediumName: 'Heat: Outlet', intReverse: 1, floatMode: 3,
  records: kThreeTelegramRecords,
});
export const scanPlantMeters = [...meters, threeTelegramMeter];

// A secondary address is valid when the identification number is eight
// decimal digits (the medium is never FFh here).
export function hasValidSecondaryAddress(m) {
  return /^[0-9]{8}$/.test(m.id);
}

function wireRegister(j) {
  return kFirstRegister + kRegisterStride * j;
}

function orderOf(m, record) {
  return record.type === 'FLOAT' ? m.floatMode : m.intReverse;
}

function deviceXml(m) {
  return `  <Device DeviceId="meter${m.k}" PrimaryAddress="${m.address}" IdNumber="${m.id}" Manufacturer="ZQX"` +
    ` Medium="${m.medium}" Status="00" SlaveAddress="${m.slave}" InitFunction="03"` +
    ` InitRegister="${m.base + wireRegister(0)}" Base="${m.base.toString(16).toUpperCase()}"` +
    ` ComSettings="${m.comSettings}" FloatMode="${m.floatMode}" IntReverse="${m.intReverse}">\n` +
    m.records.map((r, j) => `    <Object DeviceId="meter${m.k}" ObjectId="${j + 1}" TelegramNr="${r.telegram ?? 1}"` +
      ` ModbusFunction="${j % 2 === 0 ? 3 : 4}" RegisterRead="${m.base + wireRegister(j)}"` +
      ` RegisterWrite="${m.base + wireRegister(j)}" ModbusDT="${r.type}" Function="${r.fn ?? 0}"` +
      ` MBusDT="${r.mbusDT}" Storage="${(r.storage ?? 0).toString(16)}" Tariff="${(r.tariff ?? 0).toString(16)}"` +
      ` SubUnit="${(r.subUnit ?? 0).toString(16)}" Vib="${r.vib}"/>\n`).join('') +
    '  </Device>\n';
}

export function deviceFile(plantMeters = meters) {
  return `<?xml version="1.0" encoding="UTF-8"?>\n<Meters>\n${plantMeters.map(deviceXml).join('')}</Meters>\n`;
}

export function registerFile(plantMeters = meters) {
  const lines = ['# slave table register type order value'];
  for (const m of plantMeters.filter((x) => !x.absent)) {
    m.records.forEach((r, j) => {
      const table = j % 2 === 0 ? 'holding' : 'input';
      lines.push(`${m.slave} ${table} ${wireRegister(j)} ${r.type} ${orderOf(m, r)} ${r.value(m.k)}`);
    });
  }
  return `${lines.join('\n')}\n`;
}

// M-Bus integers (type B) are signed: a UINT value whose top bit is set in
// its 2n bytes is shown negative by every M-Bus master. The gateway moves the
// bytes unchanged, as it must; meter 3 documents it with UINT16 50000 and
// UINT32 3000000000.
function asMbusInteger(value, registers) {
  return Number(BigInt.asIntN(16 * registers, BigInt(value)));
}

function expectedValue(m, record) {
  if (record.type === 'FLOAT') return Math.fround(record.value(m.k));
  return asMbusInteger(record.value(m.k), kRegisterSizes[record.type]);
}

// The records as node-mbus reports them (xml2js with numbers parsed).
export function expectedRecords(m) {
  return m.records.map((r, j) => {
    const expected = { id: j, Function: kFunctionNames[r.fn ?? 0], StorageNumber: r.storage ?? 0 };
    // libmbus shows both whenever the record has a DIFE: for a tariff, a
    // subunit, or a storage number above 1.
    if (r.tariff || r.subUnit || (r.storage ?? 0) > 1) {
      Object.assign(expected, { Tariff: r.tariff ?? 0, Device: r.subUnit ?? 0 });
    }
    return { ...expected, Unit: r.unit, Value: expectedValue(m, r) };
  });
}

// libmbus prints the identification number as the hexadecimal digits of
// its BCD bytes; xml2js makes a number of it when it has no letter.
export function expectedId(m) {
  const digits = m.id.replace(/^0+/, '');
  return /^[0-9]+$/.test(digits) ? Number(digits) : digits;
}

export function expectedSecondaryAddress(m) {
  return `${m.id}386A10${m.medium}`;
}
