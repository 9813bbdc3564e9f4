// The loopback helpers of the e2e suites (the mock services, a web server
// running the CGI): Python scripts in tests/support that print "PORT <n>"
// once they listen and live until their standard input closes.
import { spawn } from 'node:child_process';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import { fileURLToPath } from 'node:url';

const SUPPORT = fileURLToPath(new URL('../support/', import.meta.url));
const WAIT_MS = 15000;

// Starts a helper script; resolves to { child, base } once it reports its port.
export function startHelper(script, args) {
  return new Promise((resolve, reject) => {
    const child = spawn('python3', [join(SUPPORT, script), ...args],
      { stdio: ['pipe', 'pipe', 'inherit'] });
    const timer = setTimeout(() => {
      child.kill();
      reject(new Error(`${script} did not report its port`));
    }, WAIT_MS);
    child.on('error', reject);
    createInterface({ input: child.stdout }).once('line', (line) => {
      clearTimeout(timer);
      const m = /^PORT (\d+)$/.exec(line);
      if (!m) {
        child.kill();
        reject(new Error(`unexpected first line from ${script}: ${line}`));
        return;
      }
      resolve({ child, base: `http://127.0.0.1:${m[1]}` });
    });
  });
}

// Closes a helper's standard input and waits for it to end (killed after 8 s).
export function stopHelper(h) {
  if (!h) return Promise.resolve();
  return new Promise((resolve) => {
    const timer = setTimeout(() => { h.child.kill('SIGKILL'); resolve(); }, 8000);
    h.child.once('exit', () => { clearTimeout(timer); resolve(); });
    h.child.stdin.end();
  });
}
