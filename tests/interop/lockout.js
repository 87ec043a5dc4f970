'use strict';
// 64 connections that never send an Open lock no one out: a client over the limit is told why
// (an exception against its Open, then a quit), a closed connection frees its slot at once, and
// the silent ones are closed by the handshake time-out.
// Usage: node lockout.js SKYHELM_SIM
const net = require('net');
const { open } = require('node-simconnect');
const { LOOPBACK, fail, Child, within } = require('./common');

const simulator = process.argv[2];
const MAX_CLIENTS = 64;
const TOO_MANY_OBJECTS = 11;

// An Open request in protocol 4, send id 1, as the client library builds it.
function openRequest() {
  const packet = Buffer.alloc(16 + 256 + 4 + 1 + 3 + 16);
  packet.writeUInt32LE(packet.length, 0);
  packet.writeUInt32LE(4, 4);
  packet.writeUInt32LE(0xf0000001, 8);
  packet.writeUInt32LE(1, 12);
  packet.write('Over the limit', 16, 'latin1');
  packet.write('XSF', 16 + 256 + 5, 'latin1');
  [10, 0, 61259, 0].forEach((v, i) => packet.writeUInt32LE(v, 16 + 256 + 8 + 4 * i));
  return packet;
}

function connect(port) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, LOOPBACK, () => resolve(socket));
    socket.on('error', reject);
  });
}

// Everything the simulator sends until it closes the connection.
function answer(socket) {
  return within(new Promise(resolve => {
    let bytes = Buffer.alloc(0);
    socket.on('data', chunk => { bytes = Buffer.concat([bytes, chunk]); });
    socket.on('close', () => resolve(bytes));
  }), 'the refusal');
}

async function main() {
  const sim = new Child([simulator, '--port', '0']);
  try {
    const listening = await sim.waitFor(l => l.startsWith('listening on '), 'the simulator');
    const port = Number(listening.split(':').pop());
    const started = Date.now();
    const silent = [];
    for (let i = 0; i < MAX_CLIENTS; ++i) silent.push(await connect(port));
    const closed = silent.map(s => new Promise(resolve => s.on('close', resolve)));

    const over = await connect(port);
    const refusal = answer(over);
    over.write(openRequest());
    const bytes = await refusal;
    if (bytes.length !== 24 + 12 || bytes.readUInt32LE(8) !== 1 ||
        bytes.readUInt32LE(12) !== TOO_MANY_OBJECTS || bytes.readUInt32LE(16) !== 1 ||
        bytes.readUInt32LE(24 + 8) !== 3) {
      fail('the refusal was ' + bytes.toString('hex'));
    }

    silent.shift().destroy();
    const { handle } = await open('After one left', 4, { host: LOOPBACK, port });
    if (Date.now() - started > 4000) fail('the freed slot was taken only after the time-out');
    await within(Promise.all(closed.slice(1)), 'the handshake time-out');
    handle.close();
    console.log('refused with a reason, a freed slot taken at once, ' + (MAX_CLIENTS - 1) +
                ' silent connections closed after ' + (Date.now() - started) + ' ms');
  } finally {
    sim.stop();
  }
}

main().catch(error => fail(error.message));
