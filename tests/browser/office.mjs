// The shipped office broker (packaging/mosquitto/office.conf and office.acl)
// and its TLS front for the page (packaging/stunnel/vrsilo-office.conf) on
// free loopback ports with a throwaway CA, only ports and paths replaced,
// serving the built page; and headless Chromium opening it. Shared by the
// browser tests and the page's benchmark.
import { execFileSync, spawn } from 'node:child_process';
import { appendFileSync, mkdirSync, mkdtempSync, openSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import net from 'node:net';
import { userInfo } from 'node:os';
import { join } from 'node:path';
import mqtt from 'mqtt';
import puppeteer from 'puppeteer-core';

// Where the build put everything (written by CMake), unless the environment says.
const paths = JSON.parse(readFileSync(new URL('./paths.json', import.meta.url), 'utf8'));
export const env = (name) => process.env[name] ?? paths[name];
export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function listening(port) {
  return new Promise((resolve) => {
    const s = net.connect(port, '127.0.0.1', () => { s.destroy(); resolve(true); });
    s.on('error', () => resolve(false));
  });
}

const taken = new Set();
async function freePort() {
  for (;;) {
    // Below the ephemeral range: a client's connection may hold any port in it.
    const port = 10000 + Math.floor(Math.random() * 22000);
    if (!taken.has(port) && !(await listening(port))) return taken.add(port) && port;
  }
}

function replace(text, from, to) {
  if (!text.includes(from)) throw new Error(`a shipped file has no '${from}'`);
  return text.replaceAll(from, to);
}

// Users: `office` reads (its password `pw-office`), `load` writes every site
// (tests only, through a plain loopback listener beside the shipped ones), and
// the stations named in `stations` write their own.
export async function startOffice({ stations = [] } = {}) {
  const shipped = join(env('VR_SHIPPED'), 'mosquitto');
  const work = mkdtempSync('/tmp/vr-office-page-');
  const run = (cmd, args, input) => execFileSync(cmd, args, { cwd: work, input, stdio: ['pipe', 'ignore', 'pipe'] });
  run('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', 'ca.key', '-out', 'ca.crt', '-days', '1', '-subj', '/CN=test-ca']);
  run('openssl', ['req', '-newkey', 'rsa:2048', '-nodes', '-keyout', 'office.key', '-out', 'office.csr', '-subj', '/CN=127.0.0.1']);
  writeFileSync(join(work, 'san.ext'), 'subjectAltName=IP:127.0.0.1\n');
  run('openssl', ['x509', '-req', '-in', 'office.csr', '-CA', 'ca.crt', '-CAkey', 'ca.key', '-CAcreateserial',
                  '-out', 'office.crt', '-days', '1', '-extfile', 'san.ext']);
  writeFileSync(join(work, 'acl'), readFileSync(join(shipped, 'office.acl'), 'utf8'));
  const users = (args, password) => run(join(shipped, 'vr-office-user'), ['-f', 'passwd', '-a', 'acl', ...args], `${password}\n`);
  users(['add-reader', 'office'], 'pw-office');
  users(['add', 'load'], 'pw-load');
  for (const s of stations) users(['add', s], `pw-${s}`);
  appendFileSync(join(work, 'acl'), '\nuser load\ntopic write vrsilo/#\n');
  writeFileSync(join(work, 'load.pw'), 'pw-load\n');
  for (const s of stations) writeFileSync(join(work, `${s}.pw`), `pw-${s}\n`);

  const [tls, ws, plain, https] = [await freePort(), await freePort(), await freePort(), await freePort()];
  let conf = readFileSync(join(shipped, 'office.conf'), 'utf8');
  conf = replace(conf, 'listener 8883', `listener ${tls} 127.0.0.1`);
  conf = replace(conf, 'listener 9001 lo', `listener ${ws} lo`);
  conf = replace(conf, '/usr/share/vrsilo/web', env('VR_PAGE'));
  for (const [from, to] of [['ca_certificates/vrsilo-office-ca.crt', 'ca.crt'], ['certs/office.crt', 'office.crt'],
                            ['certs/office.key', 'office.key'], ['vrsilo.passwd', 'passwd'], ['vrsilo.acl', 'acl']])
    conf = replace(conf, `/etc/mosquitto/${from}`, join(work, to));
  conf += `\n# tests only: the load generator and the test's own client\nlistener ${plain} 127.0.0.1\n`;
  mkdirSync(join(work, 'office.d'));
  writeFileSync(join(work, 'office.d', 'office.conf'), conf);
  // As Debian's mosquitto.conf runs a file of its conf.d.
  writeFileSync(join(work, 'main.conf'),
                `persistence_location ${work}/\nuser ${userInfo().username}\ninclude_dir ${work}/office.d\n`);
  let front = readFileSync(join(env('VR_SHIPPED'), 'stunnel', 'vrsilo-office.conf'), 'utf8');
  front = replace(front, 'accept = 8884', `accept = 127.0.0.1:${https}`);
  front = replace(front, 'connect = 127.0.0.1:9001', `connect = 127.0.0.1:${ws}`);
  front = replace(front, '/etc/mosquitto/certs/', `${work}/`);
  writeFileSync(join(work, 'stunnel.conf'), front);
  const log = openSync(join(work, 'broker.log'), 'a');
  const children = [spawn(env('VR_MOSQUITTO'), ['-c', join(work, 'main.conf')], { stdio: ['ignore', log, log] }),
                    spawn(env('VR_STUNNEL'), [join(work, 'stunnel.conf')], { stdio: ['ignore', log, log] })];
  const up = async () => (await listening(tls)) && (await listening(ws)) && (await listening(plain)) && (await listening(https));
  for (let i = 0; i < 100 && !(await up()); i++) await sleep(100);
  if (!(await up())) throw new Error(`the office broker did not start: ${readFileSync(join(work, 'broker.log'), 'utf8')}`);
  return {
    work, tls, ws, plain, ca: join(work, 'ca.crt'),
    url: `https://127.0.0.1:${https}/`,
    plainUrl: `mqtt://127.0.0.1:${plain}`,
    client: (user = 'load') => mqtt.connectAsync(`mqtt://127.0.0.1:${plain}`, { username: user, password: `pw-${user}` }),
    stop() {
      for (const c of children) c.kill('SIGKILL');
      rmSync(work, { recursive: true, force: true });
    },
  };
}

// vr-office-load's fleet on the broker; resolves when it exited.
export function load(office, args) {
  return new Promise((resolve, reject) => {
    const p = spawn(env('VR_OFFICE_LOAD'), ['--broker', office.plainUrl, '--user', 'load',
      '--password-file', join(office.work, 'load.pw'), ...args], { stdio: ['ignore', 'ignore', 'inherit'] });
    p.on('exit', (code) => (code === 0 ? resolve() : reject(new Error(`vr-office-load exited with ${code}`))));
  });
}

// Every retained message under vrsilo/, as the page subscribes: topic -> text.
export async function retained(office) {
  const c = await office.client('office');
  const got = new Map();
  c.on('message', (topic, payload) => got.set(topic, payload.toString()));
  await c.subscribeAsync(['vrsilo/+/status', 'vrsilo/+/agent', 'vrsilo/+/+/tank/#']);
  let size = -1;
  while (size !== got.size) { size = got.size; await sleep(300); }
  await c.endAsync();
  return got;
}

export async function browser(lang = 'en') {
  return puppeteer.launch({
    executablePath: env('VR_CHROMIUM'), headless: true,
    args: ['--no-sandbox', '--ignore-certificate-errors', `--lang=${lang}`],
  });
}

// Opens the page; signs in as the office's reader when the broker asks.
export async function openPage(b, office, { languages = ['en-GB', 'en'], width = 1400, height = 1000 } = {}) {
  const page = await b.newPage();
  await page.evaluateOnNewDocument((l) => Object.defineProperty(navigator, 'languages', { get: () => l }), languages);
  await page.setViewport({ width, height });
  page.on('pageerror', (e) => console.error('page error:', e.message));
  await page.goto(office.url);
  return page;
}

export async function signIn(page, user, password) {
  await page.waitForSelector('input[name=user]', { visible: true, timeout: 10000 });
  await page.$eval('input[name=user]', (e) => { e.value = ''; });
  await page.type('input[name=user]', user);
  await page.type('input[name=password]', password);
  await page.click('#sign-in');
}
