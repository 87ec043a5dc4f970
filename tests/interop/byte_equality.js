'use strict';
// The client library's packets against node-simconnect's, byte for byte, for the bridge's whole
// start-up and one HEADING_BUG_SET 270 in one protocol version. A loopback listener records each
// client, answering its Open so that it goes on. Send ids are the one field allowed to differ.
// Usage: node byte_equality.js PROTOCOL STARTUP_CLIENT
const net = require('net');
const { open } = require('node-simconnect');
const { LOOPBACK, fail, bridgeTables, bridgeStartUp, transmitHeadingBug, Child, within } =
  require('./common');

const protocol = Number(process.argv[2]);
const helper = process.argv[3];
const tables = bridgeTables(helper);
const expectedPackets = 1 + tables.entries.length + 1 + tables.mappings.length + 1;

function openAnswer(version) {
  const answer = Buffer.alloc(12 + 256 + 40);
  answer.writeUInt32LE(answer.length, 0);
  answer.writeUInt32LE(version, 4);
  answer.writeUInt32LE(2, 8);  // SIMCONNECT_RECV_ID_OPEN
  answer.write('Recorder', 12, 'latin1');
  return answer;
}

// Accepts one client and resolves with its packets: once `until(packets)` holds, or when the
// client closes the connection.
function record(startClient, until) {
  return within(new Promise((resolve, reject) => {
    const server = net.createServer(socket => {
      let pending = Buffer.alloc(0);
      const packets = [];
      const finish = () => {
        server.close();
        socket.destroy();
        resolve(packets);
      };
      socket.on('data', chunk => {
        pending = Buffer.concat([pending, chunk]);
        while (pending.length >= 4 && pending.length >= pending.readUInt32LE(0)) {
          const size = pending.readUInt32LE(0);
          if (size < 16) return reject(new Error('a packet of ' + size + ' bytes'));
          packets.push(Buffer.from(pending.subarray(0, size)));
          pending = pending.subarray(size);
          if (packets.length === 1) socket.write(openAnswer(packets[0].readUInt32LE(4)));
        }
        if (until(packets)) finish();
      });
      socket.on('end', finish);
      socket.on('error', reject);
    });
    server.listen(0, LOOPBACK, () => startClient(server.address().port));
  }), 'a recorded client');
}

function describe(packet) {
  return packet ? packet.length + ' bytes, type 0x' + packet.readUInt32LE(8).toString(16) : 'none';
}

async function main() {
  const ours = await record(port => {
    new Child([helper], {
      SKYHELM_SIM_ADDRESS: LOOPBACK + ':' + port,
      SKYHELM_SIM_PROTOCOL: String(protocol),
    });
  }, () => false);
  let handle;
  const theirs = await record(port => {
    open('Request Data', protocol, { host: LOOPBACK, port }).then(opened => {
      handle = opened.handle;
      bridgeStartUp(handle, tables);
      transmitHeadingBug(handle, tables, 270);
    });
  }, packets => packets.length >= expectedPackets);
  handle.close();

  if (theirs.length !== expectedPackets) fail('node-simconnect sent ' + theirs.length + ' packets');
  // The one intended difference: the real library, and so ours, numbers packets from send id 1,
  // node-simconnect from 0. Shift theirs before comparing every other byte.
  for (const packet of theirs) packet.writeUInt32LE(packet.readUInt32LE(12) + 1, 12);
  for (let i = 0; i < Math.max(ours.length, theirs.length); ++i) {
    if (!ours[i] || !theirs[i] || !ours[i].equals(theirs[i])) {
      let at = 0;
      while (ours[i] && theirs[i] && ours[i][at] === theirs[i][at]) ++at;
      fail('protocol ' + protocol + ', packet ' + i + ' differs at byte ' + at + ': ours ' +
           describe(ours[i]) + ', node-simconnect ' + describe(theirs[i]));
    }
  }
  console.log('protocol ' + protocol + ': ' + ours.length + ' packets, ' +
              ours.reduce((n, p) => n + p.length, 0) + ' bytes, identical');
}

main().catch(error => fail(error.message));
