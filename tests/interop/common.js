'use strict';
// Shared by the interoperability scripts: the bridge's start-up calls (printed by the test helper
// from the bridge's own tables), a child with its standard output read by line, and a deadline.
const { execFileSync, spawn } = require('child_process');
const readline = require('readline');

const LOOPBACK = '127.0.0.1';
const PATIENCE_MS = 10000;

function fail(message) {
  console.error('FAIL: ' + message);
  process.exit(1);
}

function bridgeTables(helper) {
  return JSON.parse(execFileSync(helper, ['--tables'], { encoding: 'utf8' }));
}

// The bridge's start-up and one HEADING_BUG_SET 270, made through node-simconnect's handle in the
// order the bridge makes them. Returns the send id of each call.
function bridgeStartUp(handle, tables) {
  const ids = [];
  for (const [name, units, type] of tables.entries) {
    ids.push(handle.addToDataDefinition(0, name, units, type, 0, 0xffffffff));
  }
  ids.push(handle.requestDataOnSimObject(0, 0, 0, tables.sim_frame, 0, 0, 0, 0));
  for (const [id, name] of tables.mappings) ids.push(handle.mapClientEventToSimEvent(id, name));
  return ids;
}

function transmitHeadingBug(handle, tables, degrees) {
  return handle.transmitClientEvent(
    0, tables.heading_bug_event, degrees, tables.standard_group, tables.group_is_priority);
}

// A child whose standard output lines are kept; waitFor resolves with the first line (from the
// start, or after the last one matched) for which `test` holds.
class Child {
  // With `stdin` true, the child's standard input is a pipe at this.process.stdin.
  constructor(argv, env, stdin = false) {
    this.lines = [];
    this.waiters = [];
    this.process = spawn(argv[0], argv.slice(1), {
      env: { ...process.env, ...env },
      stdio: [stdin ? 'pipe' : 'ignore', 'pipe', 'inherit'],
    });
    readline.createInterface({ input: this.process.stdout }).on('line', line => {
      this.lines.push(line);
      this.waiters = this.waiters.filter(w => !w(line));
    });
  }

  waitFor(test, what) {
    const seen = this.lines.find(test);
    if (seen !== undefined) return Promise.resolve(seen);
    return within(new Promise(resolve => {
      this.waiters.push(line => (test(line) ? (resolve(line), true) : false));
    }), what);
  }

  stop() {
    this.process.kill('SIGTERM');
  }
}

function within(promise, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error('timed out waiting for ' + what)), PATIENCE_MS);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

module.exports = { LOOPBACK, fail, bridgeTables, bridgeStartUp, transmitHeadingBug, Child, within };
