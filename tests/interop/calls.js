'use strict';
// node-simconnect drives skyhelm-sim through the calls add-ons make beyond the bridge's: one row
// per call with the message or exception it must draw ('none': neither, checked at the end), and
// two clients at once, A transmitting into B's notification group and writing client data B reads.
// Usage: node calls.js SKYHELM_SIM
const { open, RawBuffer, SimConnectDataType: T, SimConnectPeriod: P } = require('node-simconnect');
const { LOOPBACK, fail, Child, within } = require('./common');

const simulator = process.argv[2];
const PROTOCOL = 4;
const X = { ERROR: 1, UNRECOGNIZED_ID: 3, NAME_UNRECOGNIZED: 7, EVENT_ID_DUPLICATE: 9,
            INVALID_DATA_SIZE: 19, DATA_ERROR: 20, ALREADY_CREATED: 32 };
const CHANGED = 1;
const TAGGED = 2;
const ON_SET = 3;

function f64(value) {
  const b = new RawBuffer(8);
  b.writeFloat64(value);
  return { tagged: false, arrayCount: 0, buffer: b };
}

// A client that keeps every message it receives, by kind.
async function client(name, port) {
  const { handle } = await open(name, PROTOCOL, { host: LOOPBACK, port });
  const seen = { exception: [], event: [], eventFrame: [], systemState: [], simObjectData: [],
                 clientData: [] };
  for (const kind of Object.keys(seen)) handle.on(kind, m => seen[kind].push(m));
  const wait = (test, what) => within(new Promise(resolve => {
    const poll = setInterval(() => test() && (clearInterval(poll), resolve()), 5);
  }), what);
  // Tests may read a message's data: each look starts where its data starts.
  const look = test => m => {
    const raw = m.data instanceof RawBuffer ? m.data : null;
    const at = raw ? raw.getOffset() : 0;
    try {
      return test(m);
    } finally {
      if (raw) raw.setOffset(at);
    }
  };
  const first = (kind, test, what) =>
    wait(() => seen[kind].some(look(test)), what).then(() => seen[kind].find(look(test)));
  return { handle, seen, wait, first };
}

const sleep = ms => new Promise(resolve => setTimeout(resolve, ms));

// Each row: a call on A (its send id returned; B's calls return none, B must draw no exception
// at all) and what it must draw: { exception } or { kind, test } or 'none'.
function rows(a, b) {
  const h = a.handle;
  const bh = b.handle;
  return [
    ['subscribe "Sim": the running state at once', () => h.subscribeToSystemEvent(1, 'Sim'),
     { kind: 'event', test: m => m.clientEventId === 1 && m.data === 1 }],
    ['subscribe "Pause": the pause state at once', () => h.subscribeToSystemEvent(2, 'Pause'),
     { kind: 'event', test: m => m.clientEventId === 2 && m.data === 0 }],
    ['subscribe "1sec"', () => h.subscribeToSystemEvent(3, '1sec'),
     { kind: 'event', test: m => m.clientEventId === 3 }],
    ['subscribe "6Hz"', () => h.subscribeToSystemEvent(4, '6Hz'),
     { kind: 'event', test: m => m.clientEventId === 4 }],
    ['subscribe "Frame": the frame rate', () => h.subscribeToSystemEvent(5, 'Frame'),
     { kind: 'eventFrame', test: m => m.clientEventId === 5 && m.frameRate === 60 }],
    ['subscribe the same id again', () => h.subscribeToSystemEvent(5, 'SimStart'),
     { exception: X.EVENT_ID_DUPLICATE }],
    ['subscribe an unknown name', () => h.subscribeToSystemEvent(6, 'NoSuchEvent'),
     { exception: X.NAME_UNRECOGNIZED }],
    ['SetSystemEventState off', () => h.setSystemEventState(4, false), 'none'],
    ['unsubscribe', () => h.unsubscribeFromSystemEvent(5), 'none'],
    ['unsubscribe an unknown id', () => h.unsubscribeFromSystemEvent(99),
     { exception: X.UNRECOGNIZED_ID }],
    ['system state "Sim"', () => h.requestSystemState(20, 'Sim'),
     { kind: 'systemState', test: m => m.requestID === 20 && m.dataInteger === 1 }],
    ['system state "AircraftLoaded"', () => h.requestSystemState(21, 'AircraftLoaded'),
     { kind: 'systemState', test: m => m.requestID === 21 && m.dataString.endsWith('.air') }],
    ['system state "DialogMode"', () => h.requestSystemState(22, 'DialogMode'),
     { kind: 'systemState', test: m => m.requestID === 22 && m.dataInteger === 0 }],
    ['system state unknown', () => h.requestSystemState(23, 'Weather'),
     { exception: X.NAME_UNRECOGNIZED }],
    ['map AP_ALT_VAR_INC', () => h.mapClientEventToSimEvent(30, 'AP_ALT_VAR_INC'), 'none'],
    ['map a custom event', () => h.mapClientEventToSimEvent(31, 'Skyhelm.CustomEvent'), 'none'],
    ['map a private event', () => h.mapClientEventToSimEvent(32, ''), 'none'],
    ['add to a notification group', () => h.addClientEventToNotificationGroup(1, 30), 'none'],
    ['add the private event too', () => h.addClientEventToNotificationGroup(1, 32), 'none'],
    ['the same event again', () => h.addClientEventToNotificationGroup(1, 30),
     { exception: X.EVENT_ID_DUPLICATE }],
    ['group priority', () => h.setNotificationGroupPriority(1, 1), 'none'],
    ['priority of an unknown group', () => h.setNotificationGroupPriority(8, 1),
     { exception: X.UNRECOGNIZED_ID }],
    ['remove an event not in the group', () => h.removeClientEvent(1, 99),
     { exception: X.UNRECOGNIZED_ID }],
    ['clear an unknown group', () => h.clearNotificationGroup(7),
     { exception: X.UNRECOGNIZED_ID }],
    ['transmit into its own group', () => h.transmitClientEvent(0, 30, 0, 1, 0),
     { kind: 'event', test: m => m.clientEventId === 30 && m.groupID === 1 }],
    ['transmit the private event', () => h.transmitClientEvent(0, 32, 5, 1, 0),
     { kind: 'event', test: m => m.clientEventId === 32 && m.data === 5 }],
    ['define the heading bug', () => h.addToDataDefinition(10, 'AUTOPILOT HEADING LOCK DIR',
                                                           'degrees', T.FLOAT64), 'none'],
    ['SetDataOnSimObject a settable variable', () => h.setDataOnSimObject(10, 0, f64(123)),
     'none'],
    ['... and read it back', () => h.requestDataOnSimObject(40, 10, 0, P.ONCE),
     { kind: 'simObjectData', test: m => m.requestID === 40 && m.data.readFloat64() === 123 }],
    ['define the ground speed', () => h.addToDataDefinition(11, 'GROUND VELOCITY', 'knots',
                                                            T.FLOAT64), 'none'],
    ['SetDataOnSimObject a read-only one', () => h.setDataOnSimObject(11, 0, f64(50)),
     { exception: X.DATA_ERROR }],
    ['SetDataOnSimObject a short block', () => h.setDataOnSimObject(10, 0, {
      tagged: false, arrayCount: 0, buffer: (() => { const b = new RawBuffer(4); b.writeInt32(1);
                                                      return b; })() }),
     { exception: X.INVALID_DATA_SIZE }],
    ['TITLE as STRING128', () => h.addToDataDefinition(14, 'TITLE', null, T.STRING128), 'none'],
    ['ATC ID as STRING32', () => h.addToDataDefinition(14, 'ATC ID', null, T.STRING32), 'none'],
    ['CATEGORY as STRING8', () => h.addToDataDefinition(14, 'CATEGORY', null, T.STRING8),
     'none'],
    ['LIGHT LOGO', () => h.addToDataDefinition(14, 'LIGHT LOGO', 'bool', T.INT32), 'none'],
    ['STRUCT LATLONALT', () => h.addToDataDefinition(15, 'STRUCT LATLONALT', null, T.LATLONALT),
     'none'],
    ['... read', () => h.requestDataOnSimObject(45, 15, 0, P.ONCE),
     { kind: 'simObjectData', test: m => m.requestID === 45 &&
       Math.abs(m.data.readFloat64() - 47.45) < 1e-9 }],
    ['a TAGGED request', () => {
      h.addToDataDefinition(13, 'PLANE ALTITUDE', 'feet', T.FLOAT64, 0, 7);
      h.addToDataDefinition(13, 'TITLE', null, T.STRING32, 0, 8);
      return h.requestDataOnSimObject(42, 13, 0, P.ONCE, TAGGED);
    }, { kind: 'simObjectData', test: m => m.requestID === 42 && m.flags === TAGGED &&
         m.data.readUint32() === 7 && m.data.readFloat64() === 3000 &&
         m.data.readUint32() === 8 && m.data.readString32() === 'Skyhelm Trainer' }],
    ['map client data', () => h.mapClientDataNameToID('Skyhelm.Shared', 1), 'none'],
    ['create it', () => h.createClientData(1, 16, false), 'none'],
    ['create it again', () => h.createClientData(1, 16, false),
     { exception: X.ALREADY_CREATED }],
    ['define it', () => h.addToClientDataDefinition(50, 0, 16), 'none'],
    ['B maps, defines and asks ON_SET', () => {
      bh.mapClientDataNameToID('Skyhelm.Shared', 9);
      bh.addToClientDataDefinition(60, 0, 16);
      bh.requestClientData(9, 70, 60, ON_SET, 0);
    }, 'none'],
    ['B maps AP_ALT_VAR_INC and the custom event into its group', () => {
      bh.mapClientEventToSimEvent(80, 'AP_ALT_VAR_INC');
      bh.mapClientEventToSimEvent(81, 'skyhelm.customevent');
      bh.addClientEventToNotificationGroup(5, 80);
      bh.addClientEventToNotificationGroup(5, 81);
    }, 'none'],
    ['still refused: RequestNotificationGroup', () => h.requestNotificationGroup(1, 0, 0),
     { exception: X.ERROR }],
  ];
}

async function main() {
  const sim = new Child([simulator, '--port', '0', '--freeze'], {}, true);
  try {
    const listening = await sim.waitFor(l => l.startsWith('listening on '), 'the simulator');
    const port = Number(listening.split(':').pop());
    const a = await client('A', port);
    const b = await client('B', port);
    const quiet = [];
    for (const [what, call, expect] of rows(a, b)) {
      const sendId = call();
      if (expect === 'none') {
        quiet.push([what, sendId]);
      } else if (expect.exception !== undefined) {
        const e = await a.first('exception', m => m.sendId === sendId, what)
          .catch(() => fail(what + ': no exception'));
        if (e.exception !== expect.exception) fail(what + ': exception ' + e.exception);
      } else {
        await a.first(expect.kind, expect.test, what).catch(() => fail(what + ': no message'));
      }
    }

    // Two clients: A's transmit reaches B's group under B's own ids; A's write reaches B's request.
    // B's set-up travels on its own connection: a round trip makes sure it has been handled.
    b.handle.requestSystemState(97, 'Sim');
    await b.first('systemState', m => m.requestID === 97, 'B\'s set-up');
    a.handle.transmitClientEvent(0, 30, 0, 1, 0);
    await b.first('event', m => m.groupID === 5 && m.clientEventId === 80, 'B hears AP_ALT_VAR_INC');
    a.handle.transmitClientEvent(0, 31, 42, 1, 0);
    await b.first('event', m => m.clientEventId === 81 && m.data === 42, 'B hears the custom event');
    if (b.seen.event.some(m => m.clientEventId === 32)) fail('A\'s private event reached B');
    const written = Buffer.from('sixteen bytes ok');
    a.handle.setClientData(1, 50, 0, 0, 16, written);
    const area = await b.first('clientData', m => m.requestID === 70, 'B reads the client data');
    if (!area.data.readBytes(16).equals(written)) fail('B read other bytes');

    // CHANGED sends once while nothing changes, then the change; interval 10 with limit 5 sends
    // five; the bridge-style block counts its 8-byte elements.
    const h = a.handle;
    h.addToDataDefinition(12, 'LIGHT LANDING', 'bool', T.INT32);
    h.mapClientEventToSimEvent(33, 'LANDING_LIGHTS_TOGGLE');
    h.requestDataOnSimObject(41, 12, 0, P.SIM_FRAME, CHANGED);
    h.requestDataOnSimObject(43, 12, 0, P.SIM_FRAME, 0, 0, 10, 5);
    const changed = () => a.seen.simObjectData.filter(m => m.requestID === 41);
    const limited = () => a.seen.simObjectData.filter(m => m.requestID === 43).length;
    await a.wait(() => limited() >= 5, 'five blocks at interval 10');
    await sleep(500);
    if (limited() !== 5) fail('interval 10, limit 5 sent ' + limited());
    if (changed().length !== 1) fail('CHANGED sent ' + changed().length + ' blocks unchanged');
    h.transmitClientEvent(0, 33, 0, 1, 0);
    await a.wait(() => changed().length === 2, 'the changed block');
    if (changed()[1].data.readInt32() !== 1) fail('the changed block holds the old value');

    // A "1sec" event keeps coming; "6Hz", switched off, no longer does.
    const sixHz = a.seen.event.filter(m => m.clientEventId === 4).length;
    await sleep(500);
    if (a.seen.event.filter(m => m.clientEventId === 4).length !== sixHz) fail('6Hz still on');

    // A pause typed on the simulator's standard input: Pause 1, Sim 0; resuming turns them back.
    a.handle.subscribeToSystemEvent(34, 'SimStop');
    sim.process.stdin.write('pause\n');
    await a.first('event', m => m.clientEventId === 2 && m.data === 1, 'Pause 1');
    await a.first('event', m => m.clientEventId === 1 && m.data === 0, 'Sim 0');
    await a.first('event', m => m.clientEventId === 34, 'SimStop');
    h.requestSystemState(98, 'Sim');
    await a.first('systemState', m => m.requestID === 98 && m.dataInteger === 0, 'paused state');
    sim.process.stdin.write('resume\n');
    await sim.waitFor(l => l === 'resumed', 'the resumed line');
    await a.wait(() => a.seen.event.filter(m => m.clientEventId === 2).length === 3, 'Pause 0');

    // Nothing else drew an exception.
    h.requestSystemState(99, 'Sim');
    await a.first('systemState', m => m.requestID === 99, 'the closing round trip');
    for (const [what, sendId] of quiet) {
      const e = sendId !== undefined && a.seen.exception.find(m => m.sendId === sendId);
      if (e) fail(what + ': exception ' + e.exception);
    }
    if (b.seen.exception.length > 0) fail('B drew exception ' + b.seen.exception[0].exception);
    console.log('calls: ' + quiet.length + ' quiet rows and the rest answered as expected');
    a.handle.close();
    b.handle.close();
  } finally {
    sim.stop();
  }
}

main().catch(error => fail(error.message));
