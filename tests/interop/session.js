'use strict';
// node-simconnect, an independent client library, drives a freshly started skyhelm-sim in one
// protocol version: the bridge's definition with data every frame, its mappings, a transmitted
// HEADING_BUG_SET 270, refused requests that leave the session going, and the close.
// Usage: node session.js PROTOCOL SKYHELM_SIM STARTUP_CLIENT
const { open, SimConnectDataType } = require('node-simconnect');
const { LOOPBACK, fail, bridgeTables, bridgeStartUp, transmitHeadingBug, Child, within } =
  require('./common');

const protocol = Number(process.argv[2]);
const simulator = process.argv[3];
const tables = bridgeTables(process.argv[4]);
const NAME_UNRECOGNIZED = 7;
const ERROR = 1;

function check(condition, what) {
  if (!condition) throw new Error(what);
}

// One record of the bridge's definition, by datum name.
function decode(data) {
  const record = {};
  for (const [name, , type] of tables.entries) {
    if (type === SimConnectDataType.STRING256) record[name] = data.readString256();
    else if (type === SimConnectDataType.INT32) record[name] = data.readInt32();
    else if (type === SimConnectDataType.FLOAT32) record[name] = data.readFloat32();
    else throw new Error('no decoder for data type ' + type);
  }
  return record;
}

async function main() {
  const sim = new Child([simulator, '--port', '0', '--freeze']);
  try {
    const listening = await sim.waitFor(l => l.startsWith('listening on '), 'the simulator');
    const port = Number(listening.split(':').pop());
    const { recvOpen, handle } = await open('Skyhelm interop', protocol, { host: LOOPBACK, port });
    check(recvOpen.applicationName === 'Skyhelm stand-in simulator',
          'open names ' + recvOpen.applicationName);
    // The simulator's own version, whatever the client's: a 2006-era simulator.
    check(recvOpen.applicationVersionMajor === 10 && recvOpen.simConnectVersionMajor === 10,
          'open versions ' + recvOpen.applicationVersionMajor + '/' +
          recvOpen.simConnectVersionMajor);
    await sim.waitFor(l => l === 'client 1 connected "Skyhelm interop"', 'the connection line');
    const versions = new Set();
    handle._clientSocket.on('data', message => versions.add(message.protocolVersion));

    const records = [];
    const exceptions = [];
    const counts = new Set();
    handle.on('simObjectData', message => {
      counts.add(message.defineCount);
      records.push(decode(message.data));
    });
    handle.on('exception', exception => exceptions.push(exception));
    const until = (test, what) => within(new Promise(resolve => {
      const poll = setInterval(() => test() && (clearInterval(poll), resolve()), 5);
    }), what);

    bridgeStartUp(handle, tables);
    await until(() => records.length >= 30, 'data every frame');
    const first = records[0];
    check(first.Title.length > 0, 'an empty title');
    check(Math.abs(first['Plane Latitude']) <= 90 && Math.abs(first['Plane Longitude']) <= 180,
          'latitude/longitude ' + first['Plane Latitude'] + '/' + first['Plane Longitude']);
    check(first['Plane Altitude'] > -1500 && first['Plane Altitude'] < 60000,
          'altitude ' + first['Plane Altitude']);
    check(first['PLANE HEADING DEGREES TRUE'] >= 0 && first['PLANE HEADING DEGREES TRUE'] <= 360,
          'true heading ' + first['PLANE HEADING DEGREES TRUE']);
    check(exceptions.length === 0, 'the bridge\'s start-up drew exception ' +
          JSON.stringify(exceptions[0]));

    transmitHeadingBug(handle, tables, 270);
    await sim.waitFor(l => l === 'event HEADING_BUG_SET 270', 'the event line');
    await until(() => records[records.length - 1]['AUTOPILOT HEADING LOCK DIR'] === 270,
                'the heading bug at 270 in the data');

    const unknown = handle.addToDataDefinition(5, 'PLANE WOBBLE', 'feet',
                                               SimConnectDataType.INT32);
    const unserved = handle.requestNotificationGroup(40, 0, 0);
    await until(() => exceptions.length >= 2, 'two exceptions');
    check(exceptions[0].sendId === unknown && exceptions[0].exception === NAME_UNRECOGNIZED,
          'unknown variable: ' + JSON.stringify(exceptions[0]));
    check(exceptions[1].sendId === unserved && exceptions[1].exception === ERROR,
          'unserved request: ' + JSON.stringify(exceptions[1]));
    const after = records.length;
    await until(() => records.length >= after + 10, 'data after the refused requests');
    // dwDefineCount counts the block's 8-byte elements, as the reference defines it.
    const blockBytes = tables.entries.reduce(
      (n, [, , type]) => n + (type === SimConnectDataType.STRING256 ? 256 : 4), 0);
    check(counts.size === 1 && counts.has(Math.ceil(blockBytes / 8)),
          'define counts ' + [...counts].join(',') + ' for ' + blockBytes + ' bytes');
    check(versions.size === 1 && versions.has(protocol),
          'answered in versions ' + [...versions].join(','));

    handle.close();
    await sim.waitFor(l => l === 'client 1 disconnected', 'the disconnection line');
    console.log('protocol ' + protocol + ': ' + records.length + ' records, exceptions ' +
                exceptions.map(e => e.sendId + ':' + e.exception).join(' ') + ', closed');
  } finally {
    sim.stop();
  }
}

main().catch(error => fail('protocol ' + protocol + ': ' + error.message));
