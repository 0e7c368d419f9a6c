#!/usr/bin/python3
"""Times the web page patching the benchmark's 700 MiB image with its
1,000,000-record patches in headless Chromium, beside Mavrin on the same
files, and beside them the browser's floor in the same run (the changed
files read and written into the origin-private file system with no patching
at all, in a worker of the page), on one image file and on a cue sheet of 3
track files whose first track (the image) holds every record; prints
page / floor, and the page's peak memory: JavaScript heap plus array buffer
backing stores of the page and its workers, sampled every 20 ms through the
DevTools protocol (Runtime.getHeapUsage), plus the patcher's WebAssembly
memory, which those figures leave out (read in the worker as it runs).

Needs a build with the page (build/web), Debian's chromium, chromium-driver,
python3-selenium and python3-websocket. Run with Debian's Python:
    /usr/bin/python3 bench/web_bench.py [--build build] [--runs 3] [--sets scattered,shuffled]
        [--layouts image,cue] [--image-size 700M] [--records 1000000]
"""
import argparse
import functools
import http.server
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests'))
import web_test  # noqa: E402  (the browser and server the tests use)


class Cdp:
    """A DevTools protocol connection to the whole browser, flat sessions."""

    def __init__(self, address):
        import websocket
        with urllib.request.urlopen('http://%s/json/version' % address) as r:
            url = json.load(r)['webSocketDebuggerUrl']
        self.ws = websocket.create_connection(url, suppress_origin=True)
        self.lock = threading.Lock()
        self.next = 0
        self.replies = {}
        self.sessions = {}   # session id -> target type, while attached
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        while True:
            try:
                m = json.loads(self.ws.recv())
            except Exception:
                return
            if 'id' in m:
                self.replies[m['id']][1] = m
                self.replies[m['id']][0].set()
            elif m.get('method') == 'Target.attachedToTarget':
                p = m['params']
                self.sessions[p['sessionId']] = p['targetInfo']['type']
            elif m.get('method') == 'Target.detachedFromTarget':
                self.sessions.pop(m['params']['sessionId'], None)

    def call(self, method, params=None, session=None, timeout=10):
        with self.lock:
            self.next += 1
            n = self.next
        done = threading.Event()
        self.replies[n] = [done, None]
        msg = {'id': n, 'method': method, 'params': params or {}}
        if session:
            msg['sessionId'] = session
        self.ws.send(json.dumps(msg))
        if not done.wait(timeout):
            return None
        return self.replies.pop(n)[1].get('result')


def sampler(cdp, stop, peaks, before):
    """Sums heap used and backing stores over the page and the workers started
    since the sessions in before (zeminfo's ends as the patch starts) until stop."""
    while not stop.is_set():
        total = worker = 0
        for session, kind in list(cdp.sessions.items()):
            if kind == 'worker' and session in before:
                continue
            u = cdp.call('Runtime.getHeapUsage', session=session, timeout=2)
            if not u:
                continue
            bytes_ = u['usedSize'] + u.get('backingStorageSize', 0)
            if kind == 'worker':
                # WebAssembly memory is not among the backing stores counted.
                r = cdp.call('Runtime.evaluate', {'expression': 'self.wasmmemory ? wasmmemory() : 0',
                                                  'returnByValue': True}, session=session, timeout=2)
                if r and 'result' in r:
                    bytes_ += r['result'].get('value', 0)
            total += bytes_
            if kind == 'worker':
                worker += bytes_
        peaks['total'] = max(peaks.get('total', 0), total)
        peaks['worker'] = max(peaks.get('worker', 0), worker)
        time.sleep(0.02)


# The floor: each file read in slices of 4 MiB and written into the
# origin-private file system through a synchronous access handle, in a fresh
# worker, as the page's worker reads and writes; timed from the worker's start.
FLOOR = r"""
const done = arguments[arguments.length - 1];
const files = Array.from(document.getElementById('image').files).filter((f) => arguments[0].includes(f.name));
const src = `onmessage = async (e) => {
  const root = await navigator.storage.getDirectory();
  for (const f of e.data) {
    const name = 'floor-' + f.name;
    const h = await (await root.getFileHandle(name, { create: true })).createSyncAccessHandle();
    h.truncate(0);
    const r = f.stream().getReader({ mode: 'byob' });
    let buf = new ArrayBuffer(4 << 20), at = 0;
    for (;;) {
      const x = await r.read(new Uint8Array(buf));
      if (x.done) break;
      h.write(x.value, { at: at });
      at += x.value.byteLength;
      buf = x.value.buffer;
    }
    h.flush();
    h.close();
    await root.removeEntry(name);
  }
  postMessage('done');
};`;
const t = performance.now();
const w = new Worker(URL.createObjectURL(new Blob([src], { type: 'text/javascript' })));
w.onmessage = () => { w.terminate(); done(performance.now() - t); };
w.onerror = (e) => done('failed: ' + e.message);
w.postMessage(files);
"""


def cuesheet(data, base):
    """A cue sheet of 3 track files: the image as its data track, then two
    audio tracks of 8 MiB each that no record reaches."""
    folder = os.path.join(data, 'cue')
    os.makedirs(folder, exist_ok=True)
    for n in ('t2.bin', 't3.bin'):
        with open(os.path.join(folder, n), 'wb') as f:
            f.write(os.urandom(2352 * 3567))
    with open(os.path.join(folder, 'disc.cue'), 'w') as f:
        for i, (n, m) in enumerate((('t1.bin', 'MODE1/2352'), ('t2.bin', 'AUDIO'), ('t3.bin', 'AUDIO'))):
            f.write('FILE "%s" BINARY\n  TRACK %02d %s\n    INDEX 01 00:00:00\n' % (n, i + 1, m))
    return folder


def mib(n):
    return n / (1 << 20)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--build', default='build')
    ap.add_argument('--runs', type=int, default=3)
    ap.add_argument('--sets', default='scattered,shuffled')
    ap.add_argument('--image-size', default='700M')
    ap.add_argument('--records', default='1000000')
    ap.add_argument('--layouts', default='image,cue')
    ap.add_argument('--keep', action='store_true', help='keep the data for the next run')
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    page, mavrin = os.path.join(build, 'web'), os.path.join(build, 'Mavrin')
    gen, timer = os.path.join(build, 'bench', 'benchgen'), os.path.join(build, 'bench', 'benchtime')
    for need in (os.path.join(page, 'index.html'), mavrin, gen, timer):
        if not os.path.exists(need):
            sys.exit('web_bench: %s is missing; build first (with emscripten)' % need)
    if web_test.missing():
        sys.exit('web_bench: missing ' + web_test.missing())

    data = os.path.join(build, 'webbench')
    os.makedirs(data, exist_ok=True)
    if not os.path.exists(os.path.join(data, 'shuffled.v2.zem')):
        subprocess.run([gen, '--image-size', args.image_size, '--scattered', args.records, '--clustered', '1',
                        '--dense', '1M', '--small', '10', data], check=True, stdout=subprocess.DEVNULL)
    base = os.path.join(data, 'base.bin')
    cue = cuesheet(data, base)
    print('web page benchmark, %s UTC, %d cores, load average before: %s' % (
        time.strftime('%Y-%m-%d %H:%M', time.gmtime()), os.cpu_count(),
        open('/proc/loadavg').read().split()[:3]))
    print('image %d MiB; the machine is shared with other developers building and testing' %
          (os.path.getsize(base) >> 20))

    tmp = tempfile.mkdtemp(prefix='mavrin-webbench-', dir=data)
    downloads, profile = os.path.join(tmp, 'downloads'), os.path.join(tmp, 'profile')
    os.mkdir(downloads)
    os.mkdir(profile)
    server = web_test.serve(page)
    driver = web_test.browser(profile, downloads)
    cdp = Cdp(driver.capabilities['goog:chromeOptions']['debuggerAddress'])
    from selenium.webdriver.common.by import By
    rows = []
    try:
        for layout, shape in [(l, s) for l in args.layouts.split(',') for s in args.sets.split(',')]:
            oncue = layout == 'cue'
            # The cue sheet's records lie in track 1, the image: a version 1.0
            # patch, whose image size is not checked against the three files.
            patch = os.path.join(data, shape + ('.v1.zem' if oncue else '.v2.zem'))
            expected = os.path.join(data, shape + '.bin')
            work = os.path.join(cue, 't1.bin') if oncue else os.path.join(data, 'work.bin')
            saved = 't1.bin' if oncue else 'base.bin'
            m = {'mavrin': [], 'copy': [], 'page': [], 'info': [], 'save': [], 'mem': [], 'wmem': [],
                 'rss': [], 'imem': [], 'floor': []}
            for _ in range(args.runs):
                # Mavrin in place on a fresh copy, in the page cache; the copy timed apart.
                t = time.perf_counter()
                shutil.copyfile(base, work)
                m['copy'].append(time.perf_counter() - t)
                times = os.path.join(data, 'times')
                if os.path.exists(times):
                    os.remove(times)
                subprocess.run([timer, times, mavrin, os.path.join(cue, 'disc.cue') if oncue else work, patch],
                               check=True,
                               stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
                secs, maxrss = open(times).read().split()[:2]
                m['mavrin'].append(float(secs))
                m['rss'].append(int(maxrss) / 1024)
                if subprocess.run(['cmp', '-s', work, expected]).returncode != 0:
                    sys.exit('web_bench: Mavrin on %s: the result differs' % shape)
                if oncue:
                    shutil.copyfile(base, work)   # the page's track 1, unpatched
                else:
                    os.remove(work)

                # The page: a fresh load, zeminfo's report, then the patch.
                driver.get('http://127.0.0.1:%d/index.html?save=download' % server.server_address[1])
                state = lambda: driver.find_element(By.TAG_NAME, 'body').get_attribute('data-state')  # noqa: E731
                web_test.wait(lambda: state() == 'ready', 30)
                pages = [s for s, k in cdp.sessions.items() if k == 'page']
                if not pages:
                    target = [t for t in cdp.call('Target.getTargets')['targetInfos']
                              if t['type'] == 'page'][0]
                    cdp.call('Target.attachToTarget', {'targetId': target['targetId'], 'flatten': True})
                    pages = [s for s, k in cdp.sessions.items() if k == 'page']
                cdp.call('Target.setAutoAttach', {'autoAttach': True, 'waitForDebuggerOnStart': False,
                                                  'flatten': True}, session=pages[0])
                infopeaks = {}
                stop = threading.Event()
                th = threading.Thread(target=sampler, args=(cdp, stop, infopeaks, set(cdp.sessions)))
                th.start()
                t = time.perf_counter()
                driver.find_element(By.ID, 'image').send_keys(
                    '\n'.join(os.path.join(cue, n) for n in ('disc.cue', 't1.bin', 't2.bin', 't3.bin'))
                    if oncue else base)
                driver.find_element(By.ID, 'patch').send_keys(patch)
                web_test.wait(lambda: state() == 'examining', 10, 0.01)
                web_test.wait(lambda: state() == 'ready', 600, 0.02)
                m['info'].append(time.perf_counter() - t)
                stop.set()
                th.join()
                m['imem'].append(mib(infopeaks.get('worker', 0)))
                peaks = {}
                stop = threading.Event()
                th = threading.Thread(target=sampler, args=(cdp, stop, peaks, set(cdp.sessions)))
                th.start()
                t = time.perf_counter()
                driver.find_element(By.ID, 'apply').click()
                web_test.wait(lambda: state() in ('done', 'failed', 'damaged', 'stopped'), 600, 0.02)
                m['page'].append(time.perf_counter() - t)
                stop.set()
                th.join()
                if state() != 'done':
                    sys.exit('web_bench: the page on %s: %s' % (shape, driver.find_element(By.ID, 'status').text))
                m['mem'].append(mib(peaks['total']))
                m['wmem'].append(mib(peaks['worker']))
                size = os.path.getsize(expected)
                t = time.perf_counter()
                web_test.wait(lambda: web_test.downloaded(downloads, saved, size), 600, 0.02)
                m['save'].append(time.perf_counter() - t)
                got = os.path.join(downloads, saved)
                if subprocess.run(['cmp', '-s', got, expected]).returncode != 0:
                    sys.exit('web_bench: the page on %s %s: the download differs' % (layout, shape))
                if [n for n in os.listdir(downloads) if n != saved]:
                    sys.exit('web_bench: the page on %s: downloads of unchanged files' % layout)
                os.remove(got)
                # The floor, in the same browser, on the same picked file the page changed.
                floor = driver.execute_async_script(FLOOR, [os.path.basename(work) if oncue else 'base.bin'])
                if not isinstance(floor, (int, float)):
                    sys.exit('web_bench: the floor: %s' % floor)
                m['floor'].append(floor / 1000)
            rows.append((layout + ', ' + shape, m))
    finally:
        driver.quit()
        server.shutdown()
        shutil.rmtree(tmp, ignore_errors=True)
        if not args.keep:
            shutil.rmtree(data, ignore_errors=True)

    print('load average after: %s; %d runs each, medians (min-max)' %
          (open('/proc/loadavg').read().split()[:3], args.runs))
    print()
    print('| image, patch | Mavrin in place | copy of the image | page: zeminfo report | page: patch |'
          ' floor: read + write into OPFS | page / floor | page / Mavrin | page / (copy + Mavrin) |'
          ' download from OPFS | page peak memory, patching |'
          ' of it, the worker | Mavrin peak RSS | zeminfo worker peak |')
    print('|---|---|---|---|---|---|---|---|---|---|---|---|---|---|')
    med = statistics.median
    rng = lambda v, f: '%s (%s-%s)' % (f % med(v), f % min(v), f % max(v))  # noqa: E731
    for shape, m in rows:
        print('| %s | %s s | %s s | %s s | %s s | %s s | %.2fx | %.1fx | %.1fx | %s s | %s MiB | %s MiB |'
              ' %.1f MiB | %s MiB |' % (
            shape, rng(m['mavrin'], '%.2f'), rng(m['copy'], '%.2f'), rng(m['info'], '%.2f'),
            rng(m['page'], '%.2f'), rng(m['floor'], '%.2f'), med(m['page']) / med(m['floor']),
            med(m['page']) / med(m['mavrin']),
            med(m['page']) / (med(m['copy']) + med(m['mavrin'])), rng(m['save'], '%.2f'),
            rng(m['mem'], '%.1f'), rng(m['wmem'], '%.1f'), max(m['rss']), rng(m['imem'], '%.1f')))


if __name__ == '__main__':
    main()
