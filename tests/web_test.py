#!/usr/bin/python3
"""The web page in headless Chromium, driven by Selenium, against the real
Mavrin and zeminfo: for each case the page's report must be zeminfo's, its log
Mavrin's lines (as a terminal shows them, answers echoed) and its download
Mavrin's image, byte for byte. Exits 77 (skipped) when Chromium, ChromeDriver
or Selenium is missing, unless CI=true."""
import argparse
import functools
import http.server
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

CHROMIUM = '/usr/bin/chromium'
CHROMEDRIVER = '/usr/bin/chromedriver'


def missing():
    """What the test needs and this machine lacks, in words; None when nothing."""
    lack = [p for p in (CHROMIUM, CHROMEDRIVER) if not os.access(p, os.X_OK)]
    try:
        import selenium  # noqa: F401
    except ImportError:
        lack.append('python3-selenium')
    return ', '.join(lack) if lack else None


# Patches, byte by byte
def header(method, desc):
    return b'ZEM\0\0' + bytes([method]) + desc.encode('cp437').ljust(50, b'\0')


def check(image, size=None):
    """Image size and validation block of a version 2.0 patch made for image."""
    block = image[37664:37664 + 1024].ljust(1024, b'\0')
    return struct.pack('<i', len(image) if size is None else size) + block


def record(pos, data):
    return struct.pack('<iB', pos, len(data)) + data


def diz(text):
    stored = text + b'-------'   # the seven bytes never shown
    return b'#' * 18 + stored + b'#' * 12 + b'.DIZ' + struct.pack('<i', len(stored))


def image(size, seed):
    return random.Random(seed).randbytes(size)


def example(folder, name):
    with open(os.path.join(folder, name), 'rb') as f:
        return f.read()


def shuffled(img, count, seed):
    """A version 1.0 patch of count records in random order, many of them
    overlapping, some past the end, larger than the page's batch buffer so
    that later batches overwrite earlier ones in place."""
    rnd = random.Random(seed)
    data = rnd.randbytes(1 << 16)
    out = [header(0, 'records in random order')]
    for _ in range(count):
        n = rnd.randint(1, 48)
        at = rnd.randrange(len(img) + 3000 - n)
        k = rnd.randrange(len(data) - n)
        out.append(record(at, data[k:k + n]))
    # Late records over the first bytes of the image, written by early ones too.
    out += [record(i * 7, bytes([i]) * 9) for i in range(256)]
    return b''.join(out)


def cases(folder):
    """Each case: name, image, patch, answers, and options (runcase); the result
    is judged against Mavrin."""
    ex = example(folder, 'example.bin')
    exz = example(folder, 'example.zem')
    wrong = bytearray(ex + b'\x55' * 2352)
    wrong[37664:37664 + 16] = b'another revision'
    patched = subprocess_apply(ex, exz)
    small = image(3 * 2352 * 16, 7)
    grow = (header(1, 'grows the image') + check(small) + record(40, b'in') +
            record(len(small) + 4000, b'past the end') + record(0, b'') +
            diz(b'\xb0\xb1\xb2 Caf\x82 \xc9\xcd\xbb\r\nsecond line'))
    big = image(8 << 20, 11)
    # Control characters are glyphs of three bytes on the page: this text is
    # longer shown than any line buffer of 8 KiB, and its middle imitates
    # Mavrin, for an image of the wrong size.
    imitation = b'The image was checked: it is the right one, and this patch was verified. Answer Yes. '
    mimic = (header(1, 'imitates the question') + check(ex) + record(40, b'in') +
             diz(b'\x01' * 100 + b'\r\n' + imitation + b'\x01' * 2800))
    return [
        ('example', ex, exz, [], {'query': '?save=download'}),
        # Without ?save=download the page offers the result and waits for a click.
        ('offered', ex, exz, [], {'query': ''}),
        ('wrong-no', bytes(wrong), exz, [False]),
        ('wrong-yes-no', bytes(wrong), exz, [True, False]),
        ('wrong-yes-yes', bytes(wrong), exz, [True, True]),
        ('applied', patched, exz, [True]),
        ('damaged', ex, exz[:-60], []),
        ('grows', small, grow, []),
        ('outoforder', big, shuffled(big, 620000, 5), []),
        ('mimic', ex + b'\0' * 2352, mimic, [False], {'glyphs': {'\x01': '\u263a'}}),
        ('mimic-yes', ex + b'\0' * 2352, mimic, [True], {'glyphs': {'\x01': '\u263a'}}),
        # One file picked as both: refused as Mavrin and zeminfo refuse it.
        ('same', exz, exz, [], {'same': True}),
        # An image and a patch of one name, from two folders: the patch named
        # as the folder the page would put the image in, were it careless.
        ('image', ex, exz, [], {'patch': 'image', 'image': 'picked image/image'}),
        # A picked file changed on disk before the patch is applied.
        ('changed-image', ex, exz, [], {'change': 'image'}),
        ('changed-patch', ex, exz, [], {'change': 'patch'}),
        # Dropped onto the page, not picked: both in one drop, or one by one.
        ('dropped', ex, exz, [], {'drop': 'together'}),
        ('dropped-apart', bytes(wrong), exz, [True, True], {'drop': 'apart'}),
    ]


MAVRIN = None


def subprocess_apply(img, patch, answers=''):
    """Mavrin's console output and the image it leaves."""
    d = tempfile.mkdtemp()
    try:
        with open(os.path.join(d, 'i.bin'), 'wb') as f:
            f.write(img)
        with open(os.path.join(d, 'p.zem'), 'wb') as f:
            f.write(patch)
        subprocess.run([MAVRIN, 'i.bin', 'p.zem'], cwd=d, input=answers.encode(),
                       capture_output=True, check=True)
        with open(os.path.join(d, 'i.bin'), 'rb') as f:
            return f.read()
    finally:
        shutil.rmtree(d)


def terminal(out, answers):
    """Mavrin's output as a terminal shows it: each answer echoed after its
    question, the first line naming the page, CR LF as a newline."""
    text = out.decode('cp437').replace('\r\n', '\n')
    text = text.replace('Mavrin v2.0 for Linux/Unix\n', 'Mavrin v2.0 for the web\n', 1)
    parts = text.split('(y/n): ')
    shown = parts[0]
    for answer, rest in zip(answers, parts[1:]):
        shown += '(y/n): ' + ('y' if answer else 'n') + '\n' + rest
    return shown


class Server(http.server.ThreadingHTTPServer):
    """Serves the page's folder on a free loopback port; counts the requests."""
    requests = 0


def serve(folder):
    class Handler(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_GET(self):
            self.server.requests += 1
            super().do_GET()

    server = Server(('127.0.0.1', 0), functools.partial(Handler, directory=folder))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def browser(profile, downloads):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
                '--disable-background-networking', '--disable-component-update',
                '--disable-sync', '--no-first-run', '--user-data-dir=' + profile):
        options.add_argument(arg)
    options.add_experimental_option('prefs', {'download.default_directory': downloads,
                                              'download.prompt_for_download': False,
                                              # a cue sheet's changed track files, one download each
                                              'profile.default_content_setting_values.automatic_downloads': 1})
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


def wait(what, seconds, step=0.05):
    end = time.time() + seconds
    while time.time() < end:
        got = what()
        if got:
            return got
        time.sleep(step)
    return None


def downloaded(folder, name, size):
    path = os.path.join(folder, name)
    return os.path.exists(path) and os.path.getsize(path) == size and \
        not any(n.endswith('.crdownload') for n in os.listdir(folder))


def asked(out):
    """The words of each question Mavrin asked, as the page's box shows them."""
    parts = out.decode('cp437').replace('\r\n', '\n').split('CONTINUE though?')[:-1]
    return [p.rsplit('\n', 2)[-2].split('(y/n): ')[-1] + '. Continue though?' for p in parts]


def drop(driver, groups):
    """Drops each group of files onto the page's drop zone, as a browser
    would: a DataTransfer of File objects made in the page from the bytes of
    the real files, read through a file input of the test's own."""
    from selenium.webdriver.common.by import By
    for paths in groups:
        driver.execute_script(
            "const i = document.createElement('input'); i.type = 'file'; i.multiple = true;"
            "i.id = 'feeder'; document.body.appendChild(i);")
        driver.find_element(By.ID, 'feeder').send_keys('\n'.join(paths))
        driver.execute_async_script("""
            const done = arguments[arguments.length - 1];
            const feeder = document.getElementById('feeder');
            (async () => {
              const dt = new DataTransfer();
              for (const f of feeder.files) {
                dt.items.add(new File([await f.arrayBuffer()], f.name, { lastModified: f.lastModified }));
              }
              feeder.remove();
              const zone = document.getElementById('drop') || document.body;
              for (const kind of ['dragenter', 'dragover', 'drop']) {
                zone.dispatchEvent(new DragEvent(kind, { dataTransfer: dt, bubbles: true, cancelable: true }));
              }
              done();
            })();""")


def pick(driver, el, images, patch, how):
    """Gives the page the image files and the patch: picked (how None), or
    dropped together or one after the other."""
    if how == 'together':
        drop(driver, [images + [patch]])
    elif how == 'apart':
        drop(driver, [images, [patch]])
    else:
        el('image').send_keys('\n'.join(images))
        el('patch').send_keys(patch)


def hashes(folder, name):
    """zeminfo --hash on the file (or cue sheet) name of folder."""
    return subprocess.run([ZEMINFO, '--hash', name], cwd=folder, capture_output=True).stdout.decode()


def resulthash(el, want):
    """The faults of the result's hashes, which should be want."""
    got = wait(lambda: el('resulthash').get_attribute('data-done') and
               el('resulthash').get_attribute('textContent'), 120) or ''
    if got != want.rstrip('\n'):
        return ['the result\'s hashes are not zeminfo --hash\'s:\n%s\n--- zeminfo ---\n%s' % (got, want)]
    return []


def changed(path):
    """Changes the file at path on disk, as another program would."""
    with open(path, 'r+b') as f:
        b = f.read(1)
        f.seek(0)
        f.write(bytes([b[0] ^ 1]))
    st = os.stat(path)
    os.utime(path, (st.st_atime, st.st_mtime + 10))


def runcase(driver, server, work, downloads, case, click=True):
    """Runs one case in the page and with the real programs; returns the faults,
    the image Mavrin left and the name the page saves it under. Options: query
    (the page's, ?save=download when not given), image and patch (their paths
    in the work folder), same (one file picked as both), glyphs (the page's
    glyph of each control character in Mavrin's output), change ('image' or
    'patch': changed on disk once the page has examined it). With click
    unset, an offered result is left waiting for its link."""
    from selenium.webdriver.common.by import By
    name, img, patch, answers = case[:4]
    opts = case[4] if len(case) > 4 else {}
    query = opts.get('query', '?save=download')
    imagename = opts.get('image', name + '.bin')
    patchname = opts.get('patch', name + '.zem')
    if opts.get('same'):
        imagename = patchname
    for n, b in ((imagename, img), (patchname, patch)):
        os.makedirs(os.path.dirname(os.path.join(work, n)), exist_ok=True)
        with open(os.path.join(work, n), 'wb') as f:
            f.write(b)
    report = subprocess.run([ZEMINFO, patchname, imagename], cwd=work,
                            capture_output=True).stdout.decode()
    # Mavrin reads one character for each question, the rest of a line waits.
    answer = ''.join('y' if a else 'n' for a in answers)
    target = imagename if opts.get('same') else 'mavrin.bin'
    if not opts.get('same'):
        shutil.copy(os.path.join(work, imagename), os.path.join(work, target))
    out = subprocess.run([MAVRIN, target, patchname], cwd=work, input=answer.encode(),
                         capture_output=True, check=True).stdout
    with open(os.path.join(work, target), 'rb') as f:
        expected = f.read()
    lines = terminal(out, answers)
    for c, glyph in opts.get('glyphs', {}).items():
        lines = lines.replace(c, glyph)
    questions = asked(out)
    saved = os.path.basename(imagename)

    # A fresh page for each case; once it has loaded, it may request nothing.
    el = lambda i: driver.find_element(By.ID, i)  # noqa: E731
    state = lambda: driver.find_element(By.TAG_NAME, 'body').get_attribute('data-state')  # noqa: E731
    driver.get('http://127.0.0.1:%d/index.html%s' % (server.server_address[1], query))
    faults = []
    if not wait(lambda: state() == 'ready', 30):
        return ['the page did not load: ' + el('status').text]
    loaded = server.requests
    blank = el('report').get_attribute('textContent')
    pick(driver, el, [os.path.join(work, imagename)], os.path.join(work, patchname), opts.get('drop'))
    shown = wait(lambda: state() == 'ready' and el('report').get_attribute('textContent') not in
                 (blank, 'Examining…') and el('report').get_attribute('textContent'), 120)
    if shown != report.rstrip('\n'):
        faults.append('the report is not zeminfo\'s:\n%s\n--- zeminfo ---\n%s' % (shown, report))
    if 'change' in opts:
        which = imagename if opts['change'] == 'image' else patchname
        changed(os.path.join(work, which))
        return changedfile(el, state, downloads, os.path.basename(which), saved), expected, saved
    el('apply').click()
    for a, question in zip(answers, questions + [None] * len(answers)):
        if not wait(lambda: state() == 'asking', 60):
            faults.append('no question for answer %s' % a)
            break
        box = el('questiontext').get_attribute('textContent')
        status = el('status').get_attribute('textContent')
        if box != question or status != 'A question: ' + question[:-len(' Continue though?')]:
            faults.append('the question is not Mavrin\'s: %r, status %r; Mavrin: %r' %
                          (box[-200:], status[-200:], question))
        el('yes' if a else 'no').click()
    # A question the answers did not expect ends the wait too.
    done = wait(lambda: state() in ('done', 'stopped', 'damaged', 'failed', 'asking'), 300)
    done = done and state() != 'asking'
    log = el('log').get_attribute('textContent')
    if not done:
        faults.append('the page did not finish: ' + el('status').text)
    if not log.startswith(lines):
        faults.append('the log is not Mavrin\'s:\n%s\n--- Mavrin ---\n%s' % (log, lines))
    wrote = out.endswith(b'DONE..\n')
    if wrote and not query:
        time.sleep(0.5)
        if os.path.exists(os.path.join(downloads, saved)):
            faults.append('a download before the link was clicked')
        if click:
            el('download').click()
    if wrote and click:
        faults += download(downloads, saved, expected)
    if wrote:
        mine = tempfile.mkdtemp(dir=work)
        with open(os.path.join(mine, saved), 'wb') as f:
            f.write(expected)
        faults += resulthash(el, hashes(mine, saved))
    elif not wrote and os.path.exists(os.path.join(downloads, saved)):
        faults.append('a download, where Mavrin wrote nothing')
    last = log.rstrip('\n').splitlines()[-1]
    if wrote and '%s, %d bytes' % (saved, len(expected)) not in last or \
            not wrote and last != 'Nothing was written.':
        faults.append('the outcome line does not say what happened: ' + last)
    if server.requests != loaded:
        faults.append('the page made %d requests after it loaded' % (server.requests - loaded))
    return faults, expected, saved


def download(downloads, name, expected):
    """The faults of the download of name, which should hold expected."""
    if not wait(lambda: downloaded(downloads, name, len(expected)), 120):
        return ['no download of %s, %d bytes (the downloads: %s)' %
                (name, len(expected), ', '.join(sorted(os.listdir(downloads))))]
    with open(os.path.join(downloads, name), 'rb') as f:
        if f.read() != expected:
            return ['the download differs from Mavrin\'s image']
    return []


def disc(seed):
    """A cue sheet's track files: a data track and two audio tracks, each a
    whole number of raw sectors."""
    rnd = random.Random(seed)
    return [rnd.randbytes(2352 * n) for n in (24, 7, 5)]


def sheet(names, types=('BINARY',) * 3):
    modes = ('MODE1/2352', 'AUDIO', 'AUDIO')
    return ''.join('FILE "%s" %s\n  TRACK %02d %s\n    INDEX 01 00:00:00\n' % (n, t, i + 1, m)
                   for i, (n, t, m) in enumerate(zip(names, types, modes))).encode()


def cuecases():
    """Each: name, track files, sheet text (None: the usual one), patch, the
    indexes of the track files picked, and whether Mavrin changes files."""
    tracks = disc(3)
    t1, t2 = len(tracks[0]), len(tracks[1])
    end = t1 + t2 + len(tracks[2])
    # Records in track 1, across the end of track 1 into track 2 of another
    # case, in track 3 and past the image's end (the last file grows).
    one3 = (header(0, 'tracks 1 and 3') + record(100, b'first') + record(t1 + t2 + 9, b'third') +
            record(end + 30, b'past the end') + record(200, b'late') * 3)
    only1 = header(0, 'track 1') + record(37000, b'only the first') + record(5, b'x')
    return [
        ('cue13', tracks, None, one3, (0, 1, 2)),
        ('cue1', tracks, None, only1, (0, 1, 2)),
        ('cuemissing', tracks, None, only1, (0, 2)),
        ('cueextra', tracks + [b'not listed'], None, only1, (0, 1, 2, 3)),
        ('cuebad', tracks, b'FILE "t1.bin" BINARY\n  TRACK 01 MODE1/2352\n  INDEX 01 xx\n', only1, (0, 1, 2)),
        ('cuewave', tracks, None, only1, (0, 1, 2), ('BINARY', 'WAVE', 'BINARY')),
        # The sheet, its track files and the patch dropped onto the page at once.
        ('cuedrop', tracks, None, one3, (0, 1, 2), ('BINARY',) * 3, 'together'),
        ('cuedropextra', tracks + [b'not listed'], None, one3, (0, 2, 3), ('BINARY',) * 3, 'apart'),
    ]


def runcue(driver, server, work, downloads, case):
    """A cue sheet and its track files in the page against Mavrin and zeminfo on
    the same folder: the report, the log, the downloads (exactly the track
    files Mavrin changes, each byte for byte), and the hashes before and
    after, as zeminfo --hash gives them."""
    from selenium.webdriver.common.by import By
    name, tracks, text, patch, picked = case[:5]
    types = case[5] if len(case) > 5 else ('BINARY',) * 3
    how = case[6] if len(case) > 6 else None
    folder = os.path.join(work, name)
    os.makedirs(folder)
    names = ['%s-t%d.bin' % (name, i + 1) for i in range(len(tracks))]
    text = text.replace(b't1.bin', names[0].encode()) if text else sheet(names[:3], types)
    for n, b in zip(names + ['disc.cue', 'p.zem'], tracks + [text, patch]):
        with open(os.path.join(folder, n), 'wb') as f:
            f.write(b)
    mine = os.path.join(work, name + '-mavrin')
    os.makedirs(mine)
    for n in [names[i] for i in picked] + ['disc.cue', 'p.zem']:
        shutil.copy(os.path.join(folder, n), mine)
    info = subprocess.run([ZEMINFO, 'p.zem', 'disc.cue'], cwd=mine, capture_output=True)
    report = '\n'.join(t for t in (info.stdout.decode().rstrip('\n'), info.stderr.decode().rstrip('\n')) if t)
    before = subprocess.run([ZEMINFO, '--hash', 'disc.cue'], cwd=mine, capture_output=True)
    out = subprocess.run([MAVRIN, 'disc.cue', 'p.zem'], cwd=mine, capture_output=True, check=True).stdout
    after = subprocess.run([ZEMINFO, '--hash', 'disc.cue'], cwd=mine, capture_output=True)
    changes = [n for n in names if os.path.exists(os.path.join(mine, n)) and
               open(os.path.join(mine, n), 'rb').read() != open(os.path.join(folder, n), 'rb').read()]

    el = lambda i: driver.find_element(By.ID, i)  # noqa: E731
    state = lambda: driver.find_element(By.TAG_NAME, 'body').get_attribute('data-state')  # noqa: E731
    driver.get('http://127.0.0.1:%d/index.html?save=download' % server.server_address[1])
    if not wait(lambda: state() == 'ready', 30):
        return ['the page did not load: ' + el('status').text]
    faults = []
    blank = el('report').get_attribute('textContent')
    pick(driver, el, [os.path.join(folder, n) for n in ['disc.cue'] + [names[i] for i in picked]],
         os.path.join(folder, 'p.zem'), how)
    shown = wait(lambda: state() == 'ready' and el('report').get_attribute('textContent') not in
                 (blank, 'Examining…') and el('report').get_attribute('textContent'), 120)
    if shown != report:
        faults.append('the report is not zeminfo\'s:\n%s\n--- zeminfo ---\n%s' % (shown, report))
    # Named as soon as the files are picked, before Apply.
    missing = [n for i, n in enumerate(names[:3]) if i not in picked]
    extra = [names[i] for i in picked if i >= 3]
    listing = wait(lambda: el('listing').get_attribute('data-done'), 60) and \
        el('listing').get_attribute('textContent')
    want = '. '.join(l for l in (missing and 'Listed in disc.cue but not picked: ' + ', '.join(missing),
                                 extra and 'Picked but not listed in disc.cue (ignored): ' + ', '.join(extra)) if l)
    if text is None and listing != want:
        faults.append('the files picked are not named as picked: %r, not %r' % (listing, want))
    el('apply').click()
    if not wait(lambda: state() in ('done', 'stopped', 'damaged', 'failed'), 300):
        return faults + ['the page did not finish: ' + el('status').text]
    log = el('log').get_attribute('textContent')
    lines = terminal(out, [])
    if missing and 'but not picked: ' + ', '.join(missing) not in log:
        faults.append('the log does not name the track files not picked: ' + log)
    if extra and 'ignored): ' + names[3] not in log:
        faults.append('the log does not name the picked file the sheet does not list: ' + log)
    shownlines = ''.join(l + '\n' for l in log.split('\n') if not l.startswith(('Listed in', 'Picked but')))
    if not shownlines.startswith(lines):
        faults.append('the log is not Mavrin\'s:\n%s\n--- Mavrin ---\n%s' % (log, lines))
    for n in changes:
        faults += download(downloads, n, open(os.path.join(mine, n), 'rb').read())
    time.sleep(0.5)
    extra = [n for n in os.listdir(downloads) if n.startswith(name + '-') and n not in changes]
    if extra:
        faults.append('downloads of files Mavrin leaves unchanged: ' + ', '.join(extra))
    unchanged = [names[i] for i in picked if i < 3 and names[i] not in changes]
    if changes and unchanged and 'no download needed: ' + ', '.join(unchanged) not in log:
        faults.append('the log does not say which track files are unchanged: ' + log)
    if out.endswith(b'DONE..\n'):
        faults += resulthash(el, after.stdout.decode())
    if before.returncode == 0:
        el('hashes').click()
        got = wait(lambda: el('hashreport').get_attribute('data-done') and
                   el('hashreport').get_attribute('textContent'), 120) or ''
        want = 'Before patching:\n' + before.stdout.decode().rstrip('\n')
        if changes:
            want += '\n\nAfter patching:\n' + after.stdout.decode().rstrip('\n')
        if got != want:
            faults.append('the hashes are not zeminfo --hash\'s:\n%s\n--- zeminfo ---\n%s' % (got, want))
    return faults


def changedfile(el, state, downloads, name, saved):
    """Applies a patch after the picked file name changed on disk: the page
    must say so, in words, and write nothing."""
    el('apply').click()
    if not wait(lambda: state() in ('done', 'stopped', 'damaged', 'failed'), 120):
        return ['the page did not finish: ' + el('status').text]
    faults = []
    words = name + ' changed on disk after it was picked: pick it again.'
    status = el('status').get_attribute('textContent')
    log = el('log').get_attribute('textContent')
    if state() != 'failed' or words not in status or words not in log or 'network' in log:
        faults.append('the page does not say that %s changed: %s, status %r, log:\n%s' %
                      (name, state(), status, log))
    if os.path.exists(os.path.join(downloads, saved)):
        faults.append('a download of a changed file')
    return faults


def twotabs(driver, server, work, downloads, first, second):
    """The first case offers its result in this tab; the second runs in a
    second tab (a second window of the session); then the first tab's link
    must still give its result."""
    from selenium.webdriver.common.by import By
    faults, expected, saved = runcase(driver, server, work, downloads, first, click=False)
    one = driver.current_window_handle
    driver.switch_to.new_window('tab')
    faults += runcase(driver, server, work, downloads, second)[0]
    driver.close()
    driver.switch_to.window(one)
    driver.find_element(By.ID, 'download').click()
    return faults + download(downloads, saved, expected)


def main():
    global MAVRIN, ZEMINFO
    ap = argparse.ArgumentParser()
    ap.add_argument('--page', required=True)
    ap.add_argument('--mavrin', required=True)
    ap.add_argument('--zeminfo', required=True)
    ap.add_argument('--example', required=True)
    ap.add_argument('--only', help='the cases to run, by name, comma-separated')
    ap.add_argument('--cue', default='no', help='yes: the page reads cue sheets')
    args = ap.parse_args()
    MAVRIN, ZEMINFO = os.path.abspath(args.mavrin), os.path.abspath(args.zeminfo)
    lack = missing()
    if lack:
        print('web page tests skipped: missing ' + lack)
        return 1 if os.environ.get('CI') == 'true' else 77

    tmp = tempfile.mkdtemp(prefix='mavrin-web-')
    work, downloads, profile = (os.path.join(tmp, n) for n in ('work', 'downloads', 'profile'))
    for d in (work, downloads, profile):
        os.mkdir(d)
    server = serve(args.page)
    driver = browser(profile, downloads)
    failed = 0
    try:
        ex, exz = example(args.example, 'example.bin'), example(args.example, 'example.zem')
        table = [(case[0], functools.partial(runcase, case=case)) for case in cases(args.example)]
        # A run in a second tab leaves the first tab's offered result alone.
        table.append(('two-tabs', functools.partial(
            twotabs, first=('tab-one', ex, exz, [], {'query': ''}),
            second=('tab-two', ex, exz, [], {'query': ''}))))
        if args.cue == 'yes':
            table += [(case[0], functools.partial(runcue, case=case)) for case in cuecases()]
        if args.only:
            table = [t for t in table if t[0] in args.only.split(',')]
        for name, run in table:
            started = time.time()
            faults = run(driver, server, work, downloads)
            if isinstance(faults, tuple):
                faults = faults[0]
            print('%s: %s (%.1f s)' % (name, 'ok' if not faults else 'FAILED',
                                       time.time() - started))
            for f in faults:
                print('  ' + f)
            failed += bool(faults)
        print('%d passed, %d failed' % (len(table) - failed, failed))
    finally:
        driver.quit()
        server.shutdown()
        shutil.rmtree(tmp, ignore_errors=True)
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
