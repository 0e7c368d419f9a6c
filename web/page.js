// The page: picks the files, shows zeminfo's report and Mavrin's lines,
// asks Mavrin's questions, and saves the result the worker wrote.
'use strict';

const $ = (id) => document.getElementById(id);
const params = new URLSearchParams(location.search);
// ?save=download: always the download, never the File System Access API.
const downloadonly = params.get('save') === 'download';

// Everything the workers need, fetched once as the page loads: nothing is
// requested after that.
const parts = {};
let imagehandle = null;   // the image's handle, when chosen with write access
let examining = null;     // a promise that ends with the current examination
let examiner = null;      // its worker
let resulturl = null;
let busy = false;
// This tab's folder of the origin-private file system, and the Web Lock it
// holds while it is open: another tab removes only folders whose lock no one
// holds, so the results this tab offers stay until it lets them go.
const tab = 'tab-' + Date.now().toString(36) + '-' + Math.random().toString(36).slice(2);

async function load() {
  if (!window.Worker || !navigator.storage || !navigator.storage.getDirectory || !navigator.locks) {
    throw new Error('this browser lacks Web Workers, the origin-private file system or Web Locks');
  }
  await new Promise((granted, refused) => {
    navigator.locks.request(tab, () => {
      granted();
      return new Promise(() => {});   // held until the tab closes
    }).catch(refused);
  });
  const fetchok = async (name) => {
    const r = await fetch(name);
    if (!r.ok) throw new Error(name + ': ' + r.status + ' ' + r.statusText);
    return r;
  };
  const script = async (name) => URL.createObjectURL(
    new Blob([await (await fetchok(name)).text()], { type: 'text/javascript' }));
  const binary = async (name) => (await fetchok(name)).arrayBuffer();
  [parts.worker, parts.infoglue, parts.infowasm, parts.patchglue, parts.patchwasm] =
    await Promise.all([script('worker.js'), script('zeminfo.js'), binary('zeminfo.wasm'),
                       script('mavrinweb.js'), binary('mavrinweb.wasm')]);
}

// The status line; state, when given, goes to body's data-state as well:
// examining, ready, running, asking, or how the run ended (done, stopped,
// damaged, failed), for tests and for pages that embed this one.
function setstatus(text, state) {
  $('status').textContent = text;
  if (state) document.body.dataset.state = state;
}

function log(text) {
  $('log').textContent += text;
}

// What was picked as the image: {image} for one image file, {disc} for a
// cue sheet with its track files ({sheet, files}, the sheet among the
// files), or null; says why not in the status line.
function pickedimage() {
  const files = Array.from($('image').files);
  const sheets = files.filter((f) => /\.cue$/i.test(f.name));
  if (sheets.length === 1) return { disc: { sheet: sheets[0], files: files } };
  if (sheets.length > 1) {
    setstatus('Choose one cue sheet, with its track files.');
    return null;
  }
  if (files.length > 1) {
    setstatus('Choose one image file, or a cue sheet with its track files.');
    return null;
  }
  return files.length ? { image: files[0] } : null;
}

// The name the page gives the picked image in its lines.
function imagename(picked) {
  return picked.disc ? picked.disc.sheet.name : picked.image.name;
}

// Starts a worker on a task; calls onmessage with each message it sends.
function startworker(task, extra, onmessage) {
  const w = new Worker(parts.worker);
  w.onmessage = (e) => onmessage(e.data, w);
  w.onerror = (e) => {
    e.preventDefault();
    onmessage({ failed: e.message || 'the worker stopped' }, w);
  };
  const glue = task === 'info' ? parts.infoglue : parts.patchglue;
  const wasm = task === 'info' ? parts.infowasm : parts.patchwasm;
  w.postMessage(Object.assign({ task: task, glue: glue, wasm: wasm, tab: tab }, extra));
  return w;
}

// Names, as soon as a cue sheet is picked, the track files it lists that
// were not picked and the picked files it does not list.
let lister = null;
function listing(m, image) {
  const lines = [];
  if (m.missing.length) {
    lines.push('Listed in ' + image.disc.sheet.name + ' but not picked: ' + m.missing.join(', '));
  }
  if (m.ignored.length) {
    lines.push('Picked but not listed in ' + image.disc.sheet.name + ' (ignored): ' + m.ignored.join(', '));
  }
  return lines;
}
function listpicked(image) {
  if (lister) lister.terminate();
  lister = null;
  const shown = $('listing');
  shown.textContent = '';
  delete shown.dataset.done;
  if (!image || !image.disc) return;
  lister = startworker('list', image, (m, w) => {
    w.terminate();
    if (w !== lister) return;
    lister = null;
    shown.textContent = m.listing ? listing(m.listing, image).join('. ') : '';
    shown.dataset.done = 'yes';
  });
}

// Runs zeminfo on the chosen patch (and image) and shows its report.
function examine() {
  if (!document.body.dataset.ready) return;
  if (examiner) examiner.terminate();
  examiner = null;
  examining = null;
  const patch = $('patch').files[0];
  const image = pickedimage();
  $('apply').disabled = !patch || !image || busy;
  $('hashes').disabled = !image;
  if (!patch) return;
  if ($('image').files.length > 1 && !image) return;
  setstatus('zeminfo is examining ' + patch.name + (image ? ' and ' + imagename(image) : '') + '…',
            'examining');
  $('report').textContent = 'Examining…';
  examining = new Promise((resolve) => {
    examiner = startworker('info', Object.assign({ patch: patch }, image || {}), (m, w) => {
      w.terminate();
      if (w !== examiner) return resolve();
      examiner = null;
      if (m.failed) {
        $('report').textContent = 'zeminfo failed: ' + m.failed;
      } else {
        $('report').textContent = [m.report, m.errors].filter((t) => t).join('\n');
      }
      if (!busy) setstatus(image ? 'Ready to apply the patch.' : 'Choose the image too.', 'ready');
      resolve();
    });
  });
}

// Mavrin's questions, in its own words: question 1 is about the image's
// size, 2 about its validation block. The box is worded from these alone,
// never from the log, whose lines a patch's FILE_ID.DIZ text shares.
const questions = {
  1: 'The size of the BIN file isnt correct',
  2: 'The BINfile does not seem to be the right one',
};

// Shows Mavrin's question q and waits for an answer.
function ask(worker, q) {
  const what = questions[q] || 'Mavrin asks whether to continue';
  $('questiontext').textContent = what + '. Continue though?';
  $('question').hidden = false;
  setstatus('A question: ' + what + '.', 'asking');
  $('no').focus();
  const answer = (yes) => {
    $('question').hidden = true;
    $('yes').onclick = $('no').onclick = null;
    document.onkeydown = null;
    setstatus('Patching…', 'running');
    worker.postMessage({ answer: yes });
  };
  $('yes').onclick = () => answer(true);
  $('no').onclick = () => answer(false);
  document.onkeydown = (e) => {
    const k = e.key.toLowerCase();
    if (k === 'y' || k === 'n') {
      e.preventDefault();
      answer(k === 'y');
    }
  };
}

function setprogress(done, total) {
  const value = total > 0 ? Math.round((done / total) * 1000) : 0;
  $('progress').value = value;
  $('percent').textContent = (value / 10).toFixed(1) + '%';
}

// The patched image, as the worker left it in the origin-private file system.
let resultname = null;
async function result() {
  const root = await navigator.storage.getDirectory();
  const dir = await (await root.getDirectoryHandle('mavrin')).getDirectoryHandle(tab);
  return (await dir.getFileHandle(resultname)).getFile();
}

// Offers each made track file of a cue sheet under its own name (downloaded
// at once with ?save=download), and says which need no download.
let resulturls = [];
async function offerdisc(m) {
  const root = await navigator.storage.getDirectory();
  const dir = await (await root.getDirectoryHandle('mavrin')).getDirectoryHandle(tab);
  const list = $('downloads');
  list.textContent = '';
  for (const u of resulturls) URL.revokeObjectURL(u);
  resulturls = [];
  made = [];
  for (const f of m.files) {
    const file = await (await dir.getFileHandle(f.file)).getFile();
    made.push({ name: f.name, file: file });
    const url = URL.createObjectURL(new Blob([file], { type: 'application/octet-stream' }));
    resulturls.push(url);
    const li = document.createElement('li');
    const a = document.createElement('a');
    a.href = url;
    a.download = f.name;
    a.className = 'trackdownload';
    a.textContent = 'Download the patched ' + f.name + ' (' + f.size + ' bytes)';
    li.appendChild(a);
    list.appendChild(li);
  }
  $('save').hidden = true;
  $('discsave').hidden = false;
  for (const f of m.files) {
    log((downloadonly ? 'Saved as a download: ' : 'Patched, ready to download: ') + f.name + ', ' +
        f.size + ' bytes.\n');
  }
  if (downloadonly) for (const a of list.querySelectorAll('a')) a.click();
  if (m.unchanged.length) {
    log('Unchanged, no download needed: ' + m.unchanged.join(', ') + '.\n');
  }
}

// Offers the result under the image's name; downloads it at once with
// ?save=download.
async function offer(name, size) {
  const file = await result();
  made = [{ name: name, file: file }];
  if (resulturl) URL.revokeObjectURL(resulturl);
  // Raw bytes, so that a name without an extension keeps none (a browser
  // may add .txt to a download of no type).
  resulturl = URL.createObjectURL(new Blob([file], { type: 'application/octet-stream' }));
  const a = $('download');
  a.href = resulturl;
  a.download = name;
  a.textContent = 'Download the patched image (' + name + ', ' + size + ' bytes)';
  $('writeback').hidden = !imagehandle || downloadonly;
  $('save').hidden = false;
  if (downloadonly) {
    a.click();
    log('The patched image is saved as a download: ' + name + ', ' + size + ' bytes.\n');
  } else {
    log('The patched image is ready: ' + name + ', ' + size + ' bytes. Download it' +
        (imagehandle ? ', or write it into the chosen image.' : '.') + '\n');
    a.focus();
  }
}

// Writes the result into the image chosen with write access.
async function writeback() {
  const button = $('writeback');
  button.disabled = true;
  try {
    if ((await imagehandle.requestPermission({ mode: 'readwrite' })) !== 'granted') {
      throw new Error('the browser was not allowed to write ' + imagehandle.name);
    }
    setstatus('Writing ' + imagehandle.name + '…');
    const out = await imagehandle.createWritable();
    await (await result()).stream().pipeTo(out);
    setstatus(imagehandle.name + ' is patched.');
    log(imagehandle.name + ' is patched.\n');
  } catch (e) {
    setstatus('Writing the chosen image failed: ' + e.message);
    log('Writing the chosen image failed: ' + e.message + '\n');
  } finally {
    button.disabled = false;
  }
}

// The files made by the last run, {name, file}, for the hashes after it.
let made = [];

// The picked image as the last run left it: the files it made in place of
// the picked ones of their name.
function patchedimage(image) {
  const swap = (f) => {
    const r = made.find((x) => x.name === f.name);
    return r ? new File([r.file], f.name, { lastModified: f.lastModified }) : f;
  };
  return image.disc ? { disc: { sheet: image.disc.sheet, files: image.disc.files.map(swap) } }
                    : { image: swap(image.image) };
}

// zeminfo --hash on what, into the report's text: calls done(text).
function hashreport(what, done) {
  startworker('info', Object.assign({ patch: null, hash: true }, what), (m, w) => {
    w.terminate();
    done(m.failed ? 'zeminfo failed: ' + m.failed : [m.report, m.errors].filter((t) => t).join('\n'));
  });
}

// The hashes of the image as patched, in the result: each track file the
// run made and the whole image.
function resulthashes(image) {
  const shown = $('resulthash');
  shown.textContent = 'Reading every file…';
  delete shown.dataset.done;
  $('resulthashes').hidden = false;
  const run = made;
  hashreport(patchedimage(image), (text) => {
    if (made !== run) return;   // another run began
    shown.textContent = text;
    shown.dataset.done = 'yes';
  });
}

// zeminfo --hash on the picked image, and on the image as patched when the
// last run made files.
function hashes() {
  const image = pickedimage();
  if (!image) return;
  const button = $('hashes');
  button.disabled = true;
  const runs = [['Before patching', image]];
  if (made.length && document.body.dataset.state === 'done') runs.push(['After patching', patchedimage(image)]);
  const texts = [];
  const next = () => {
    if (!runs.length) {
      $('hashreport').textContent = texts.join('\n\n');
      $('hashreport').dataset.done = 'yes';
      button.disabled = false;
      return;
    }
    const [label, what] = runs.shift();
    hashreport(what, (text) => {
      texts.push(label + ':\n' + text);
      next();
    });
  };
  $('hashreport').textContent = 'Reading every file…';
  delete $('hashreport').dataset.done;
  next();
}

function finish(text, state) {
  busy = false;
  $('image').disabled = $('patch').disabled = false;
  $('imagepick').disabled = false;
  $('apply').disabled = false;
  window.onbeforeunload = null;
  setstatus(text, state);
}

// Applies the patch: Mavrin's lines, its questions, the write, the result.
async function apply(event) {
  event.preventDefault();
  const patch = $('patch').files[0];
  const image = pickedimage();
  if (!patch || !image || busy) return;
  busy = true;
  made = [];
  $('discsave').hidden = true;
  $('resulthashes').hidden = true;
  $('image').disabled = $('patch').disabled = $('apply').disabled = true;
  $('imagepick').disabled = true;
  $('save').hidden = true;
  // The last result is let go: the worker removes it.
  if (resulturl) URL.revokeObjectURL(resulturl);
  resulturl = null;
  $('download').href = '#';
  $('log').textContent = '';
  setprogress(0, 1);
  setstatus('Patching…', 'running');
  window.onbeforeunload = (e) => {
    e.preventDefault();
    return '';
  };
  if (examining) {
    setstatus('Waiting for zeminfo to finish…');
    await examining;
  }
  setstatus('Patching ' + imagename(image) + '…', 'running');
  startworker('patch', Object.assign({ patch: patch }, image), (m, w) => {
    if (m.log) log(m.log);
    else if (m.listing) {
      for (const line of listing(m.listing, image)) log(line + '\n');
    }
    else if (m.progress) setprogress(m.progress[0], m.progress[1]);
    else if (m.ask) ask(w, m.ask);
    else if (m.failed) {
      w.terminate();
      log('\nERROR: ' + m.failed + '\nThe picked image was not changed.\n');
      finish('Patching failed: ' + m.failed, 'failed');
    } else if (m.end) {
      w.terminate();
      if (m.end === 'done') {
        setprogress(1, 1);
        const offered = m.disc ? offerdisc(m) : (resultname = m.files[0].file,
                                                  offer(image.image.name, m.files[0].size));
        offered.then(
          () => {
            finish('Done: the patched image is ' + (downloadonly ? 'downloaded.' : 'ready.'), 'done');
            resulthashes(image);
          },
          (e) => finish('Saving the result failed: ' + e.message, 'failed'));
      } else if (m.end === 'failed') {
        if (m.reason) log('(' + m.reason + ')\n');
        finish('Patching failed' + (m.reason ? ': ' + m.reason : '') +
               '; the picked image was not changed.', 'failed');
      } else {
        log('Nothing was written.\n');
        finish(m.end === 'damaged' ? 'The patch is damaged: nothing was written.'
                                   : 'Stopped: ' + (m.reason ? m.reason + '; ' : '') +
                                     'nothing was written.', m.end);
      }
    }
  });
}

// The files of a drop, a folder's files among them where the browser gives
// its entries: the .zem is the patch, the rest the image (or the cue sheet
// and its track files).
async function droppedfiles(dt) {
  const entries = Array.from(dt.items || []).map((i) => i.webkitGetAsEntry && i.webkitGetAsEntry());
  if (!entries.length || entries.some((e) => !e)) return Array.from(dt.files);
  const files = [];
  const walk = async (entry) => {
    if (entry.isFile) {
      files.push(await new Promise((ok, no) => entry.file(ok, no)));
    } else if (entry.isDirectory) {
      const reader = entry.createReader();
      for (;;) {
        const some = await new Promise((ok, no) => reader.readEntries(ok, no));
        if (!some.length) break;
        for (const e of some) await walk(e);
      }
    }
  };
  for (const e of entries) await walk(e);
  return files;
}

async function drop(event) {
  event.preventDefault();
  $('drop').classList.remove('over');
  if (busy || !document.body.dataset.ready) return;
  let files;
  try {
    files = await droppedfiles(event.dataTransfer);
  } catch (e) {
    setstatus('The dropped files cannot be read: ' + e.message);
    return;
  }
  const patches = files.filter((f) => /\.zem$/i.test(f.name));
  const rest = files.filter((f) => !/\.zem$/i.test(f.name));
  if (patches.length > 1) {
    setstatus('Drop one patch (ZEM file), with the image or alone.');
    return;
  }
  const into = (input, list) => {
    const t = new DataTransfer();
    for (const f of list) t.items.add(f);
    input.files = t.files;
  };
  if (patches.length) into($('patch'), patches);
  if (rest.length) {
    imagehandle = null;
    into($('image'), rest);
    listpicked(pickedimage());
  }
  if (files.length) examine();
}

// Chooses the image through the File System Access API, so that the result
// can be written back into it.
async function pickimage() {
  let handles;
  try {
    handles = await window.showOpenFilePicker();
  } catch (e) {
    return;   // the user closed the picker
  }
  imagehandle = handles[0];
  const dt = new DataTransfer();
  dt.items.add(await imagehandle.getFile());
  $('image').files = dt.files;
  examine();
}

document.addEventListener('DOMContentLoaded', () => {
  $('form').addEventListener('submit', apply);
  $('image').addEventListener('change', () => {
    imagehandle = null;
    listpicked(pickedimage());
    examine();
  });
  $('patch').addEventListener('change', examine);
  const zone = $('drop');
  zone.addEventListener('dragover', (e) => {
    e.preventDefault();
    if (e.dataTransfer) e.dataTransfer.dropEffect = 'copy';
    zone.classList.add('over');
  });
  zone.addEventListener('dragleave', () => zone.classList.remove('over'));
  zone.addEventListener('drop', drop);
  // A drop beside the zone opens nothing in place of the page.
  window.addEventListener('dragover', (e) => e.preventDefault());
  window.addEventListener('drop', (e) => e.preventDefault());
  $('writeback').addEventListener('click', writeback);
  $('hashes').addEventListener('click', hashes);
  if (window.showOpenFilePicker && !downloadonly) {
    $('imagepick').hidden = false;
    $('imagepick').addEventListener('click', pickimage);
  }
  load().then(() => {
    document.body.dataset.ready = 'yes';
    setstatus('Ready: choose the image and the patch.', 'ready');
    examine();
  }, (e) => {
    const served = location.protocol === 'file:'
      ? ' Open it through a web server, for example python3 -m http.server in its folder.' : '';
    setstatus('This page cannot work here: ' + e.message + '.' + served, 'failed');
  });
});
