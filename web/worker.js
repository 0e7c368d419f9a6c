// The page's Web Worker: runs zeminfo, or the patcher, over the picked files
// without reading them whole, and writes the patched image into the
// origin-private file system.
'use strict';

// The first message says what to run: {task, glue, wasm, tab, patch, image,
// disc}: image is one picked image file, or disc the picked cue sheet and
// track files ({sheet, files}: the sheet among them).
// glue is the address of the module's Emscripten script, wasm its binary
// (both fetched by the page as it loaded: nothing is requested from here);
// tab names the page's own folder of the origin-private file system.
// Later messages answer the patcher's questions: {answer: true|false}.
let answered = null;
onmessage = (event) => {
  const m = event.data;
  if ('answer' in m) {
    if (answered) answered(m.answer);
    return;
  }
  run(m).catch((e) => postMessage({ failed: describe(e) }));
};

// A picked file that can no longer be read as it was picked: the browser
// refuses every read of a file changed on disk since (with an error that
// speaks of the network or of permissions).
class Changed extends Error {
  constructor(file) {
    super(file.name + ' changed on disk after it was picked: pick it again.');
    this.name = 'Changed';
  }
}

// A reason for a user, from whatever was thrown.
function describe(e) {
  if (e instanceof Changed) return e.message;
  if (e && e.name && e.message) return e.name + ': ' + e.message;
  return String(e);
}

// Whether the two picked files are one: the page sees no inode, but one file
// picked twice has one name, size and time of change. (A copy that kept all
// three is a copy of the patch: no image either.)
function onefile(a, b) {
  return a.name === b.name && a.size === b.size && a.lastModified === b.lastModified;
}

// Mounts the picked files read-only at /in under their own names; returns
// their paths. An image of the patch's name goes into a folder whose name is
// not the patch's, so that neither hides the other; one file picked as both
// is mounted once, at one path for both, and so refused as the programs
// refuse it. Every read of the mount says so when a file has changed.
function mount(FS, patch, image) {
  if (!patch) patch = { name: 'no patch' };   // --hash: the image alone
  const blobs = patch.size === undefined ? [] : [{ name: patch.name, data: patch }];
  let imagepath = null;
  if (image && onefile(patch, image)) {
    imagepath = patch.name;
  } else if (image) {
    const folder = patch.name === 'image' ? 'picked image' : 'image';
    imagepath = image.name === patch.name ? folder + '/' + image.name : image.name;
    blobs.push({ name: imagepath, data: image });
  }
  FS.mkdir('/in');
  FS.mount(FS.filesystems.WORKERFS, { blobs: blobs }, '/in');
  FS.chdir('/in');
  if (blobs.length && blobs[0].data === patch) guard(FS, '/in/' + patch.name, patch);
  if (imagepath && imagepath !== patch.name) guard(FS, '/in/' + imagepath, image);
  return { patch: patch.name, image: imagepath };
}

// Mounts a cue sheet and its picked track files read-only at /in, each under
// its own name, so that the image layer finds them as it finds them beside
// a sheet on disk; the patch beside them, or at /zem when one of them has
// its name. A patch that is one of the picked files is that file, and so
// refused as the programs refuse it. Returns the paths.
function mountdisc(FS, patch, disc) {
  if (!patch) patch = { name: '' };   // --hash: the image alone
  const blobs = disc.files.map((f) => ({ name: f.name, data: f }));
  FS.mkdir('/in');
  const same = disc.files.find((f) => onefile(f, patch));
  const clash = !same && disc.files.some((f) => f.name === patch.name);
  if (!same && !clash && patch.size !== undefined) blobs.push({ name: patch.name, data: patch });
  FS.mount(FS.filesystems.WORKERFS, { blobs: blobs }, '/in');
  let patchpath = same ? same.name : patch.name;
  if (clash) {
    FS.mkdir('/zem');
    FS.mount(FS.filesystems.WORKERFS, { blobs: [{ name: patch.name, data: patch }] }, '/zem');
    patchpath = '/zem/' + patch.name;
  }
  FS.chdir('/in');
  for (const f of disc.files) guard(FS, '/in/' + f.name, f);
  if (!same && patch.size !== undefined) guard(FS, patchpath.startsWith('/') ? patchpath : '/in/' + patchpath, patch);
  return { patch: patchpath, image: disc.sheet.name, same: !!same };
}

// Reads of the mounted file at path that fail say that file changed.
function guard(FS, path, file) {
  const node = FS.lookupPath(path).node;
  const read = node.stream_ops.read;
  node.stream_ops = Object.assign({}, node.stream_ops, {
    read: (...args) => {
      try {
        return read(...args);
      } catch (e) {
        throw e instanceof FS.ErrnoError ? e : new Changed(file);
      }
    },
  });
}

// A read of a picked file; its failure is the file's change.
async function readof(file, reader, buf) {
  try {
    return await (buf ? reader.read(buf) : reader.read());
  } catch (e) {
    throw new Changed(file);
  }
}

// Reads a file from its start, in turn, into one buffer of n bytes that the
// stream hands back with each read: no new memory for each read, so none is
// left for the garbage collector (a FileReaderSync read allocates a buffer
// each time, and the collector may leave hundreds of MiB of them waiting).
// Returns next(len): the next len bytes (fewer only at the end of the file).
function sequential(file, n) {
  let reader;
  try {
    reader = file.stream().getReader({ mode: 'byob' });
  } catch (e) {
    return chunked(file, n);   // a browser without byte streams for files
  }
  let buf = new ArrayBuffer(n);
  return async (len) => {
    let got = 0;
    while (got < len) {
      const r = await readof(file, reader, new Uint8Array(buf, got, len - got));
      if (r.value) buf = r.value.buffer;
      if (r.done) break;
      got += r.value.byteLength;
    }
    return new Uint8Array(buf, 0, got);
  };
}

// As sequential, from a stream of the chunks the browser chooses.
function chunked(file, n) {
  const reader = file.stream().getReader();
  const buf = new Uint8Array(n);
  let rest = null;   // what the last chunk held beyond the last read
  return async (len) => {
    let got = 0;
    while (got < len) {
      if (!rest || rest.length === 0) {
        const r = await readof(file, reader, null);
        if (r.done) break;
        rest = r.value;
      }
      const take = Math.min(len - got, rest.length);
      buf.set(rest.subarray(0, take), got);
      rest = rest.subarray(take);
      got += take;
    }
    return buf.subarray(0, got);
  };
}

const copylen = 4 << 20;

// Copies a picked file into a new file name of folder dir in the
// origin-private file system; returns an open synchronous access handle.
async function copyin(dir, name, file) {
  const handle = await (await dir.getFileHandle(name, { create: true })).createSyncAccessHandle();
  handle.truncate(0);
  const next = sequential(file, copylen);
  for (let at = 0; at < file.size; at += copylen) {
    const part = await next(Math.min(copylen, file.size - at));
    if (part.length === 0) throw new Changed(file);
    handle.write(part, { at: at });
  }
  handle.flush();
  return handle;
}

// Serves the reads of the mounted file at path from a synchronous access
// handle, straight into the module's memory: the record reader reads the
// patch again and again, and zeminfo once for each stretch of the image.
function servefrom(FS, path, handle) {
  const node = FS.lookupPath(path).node;
  node.stream_ops = Object.assign({}, node.stream_ops, {
    read: (stream, buffer, offset, length, position) => {
      if (position >= node.size) return 0;
      return handle.read(buffer.subarray(offset, offset + length), { at: position });
    },
  });
}

// Fills the young generation with objects that die at once, so that the
// collector runs and frees the chunks read before, which it otherwise lets
// pile up by hundreds of MiB (their memory lies outside its heap).
let churned = null;
function churn() {
  for (let i = 0; i < 40000; i++) churned = [i, i];
}

// Serves the reads of the mounted file at path from chunks of n bytes of
// it, each read whole, the last few kept: a read of a picked file costs
// milliseconds, whatever its size, and zeminfo reads an image in blocks of
// 256 KiB or less, in turn or (for a patch out of order) across a stretch of
// 4.6 MB at a time.
function readahead(FS, path, file, n, keep) {
  const node = FS.lookupPath(path).node;
  const reader = new FileReaderSync();
  const chunks = new Map();   // offset -> bytes, the one used last at the end
  const chunkat = (k) => {
    let chunk = chunks.get(k);
    if (chunk) {
      chunks.delete(k);
    } else {
      if (chunks.size >= keep) chunks.delete(chunks.keys().next().value);
      churn();
      try {
        chunk = new Uint8Array(reader.readAsArrayBuffer(file.slice(k, k + n)));
      } catch (e) {
        throw new Changed(file);
      }
    }
    chunks.set(k, chunk);
    return chunk;
  };
  node.stream_ops = Object.assign({}, node.stream_ops, {
    read: (stream, buffer, offset, length, position) => {
      let done = 0;
      while (done < length && position + done < file.size) {
        const at = position + done;
        const k = at - (at % n);
        const chunk = chunkat(k);
        const take = Math.min(length - done, chunk.length - (at - k));
        if (take <= 0) break;
        buffer.set(chunk.subarray(at - k, at - k + take), offset + done);
        done += take;
      }
      return done;
    },
  });
}

// Empties folder dir, as far as no other worker holds its files.
async function empty(dir) {
  const names = [];
  for await (const name of dir.keys()) names.push(name);
  for (const name of names) {
    try {
      await dir.removeEntry(name, { recursive: true });
    } catch (e) {
      // a worker ended a moment ago and still holds it: next time
    }
  }
}

// Each tab keeps its files in a folder of its own, mavrin/TAB, and holds the
// Web Lock named TAB while it is open (page.js): a folder whose lock no tab
// holds is left from a closed tab and is removed, with what earlier versions
// of the page left (files beside the folders, mavrin-info). The names are
// listed before the locks are asked for: a tab takes its lock before it
// makes its folder, so no folder listed belongs to a tab the locks miss.
async function sweep(root, all, tab) {
  const names = [];
  for await (const name of all.keys()) names.push(name);
  const held = new Set(((await navigator.locks.query()).held || []).map((l) => l.name));
  for (const name of names) {
    if (name === tab || held.has(name)) continue;
    try {
      await all.removeEntry(name, { recursive: true });
    } catch (e) {
      // still held open by a worker a moment after its tab closed: next time
    }
  }
  try {
    await root.removeEntry('mavrin-info', { recursive: true });
  } catch (e) {
    // none, or held open by a page of an earlier version
  }
}

// A file name no other run uses: a worker that has just been ended may
// hold its files for a moment.
function unique(what) {
  return what + '-' + Date.now() + '-' + Math.random().toString(36).slice(2);
}

// Runs the task; its last message goes out once its files are closed, for
// the page ends the worker when it comes.
async function run(m) {
  importScripts(m.glue);
  const lines = [];
  const errors = [];
  const settings = {
    wasmBinary: m.wasm,
    print: (text) => lines.push(text),
    printErr: (text) => errors.push(text),
  };
  const root = await navigator.storage.getDirectory();
  const all = await root.getDirectoryHandle('mavrin', { create: true });
  const dir = await all.getDirectoryHandle(m.tab, { create: true });
  if (m.task === 'patch') {
    // The tab lets its last result go as it starts another: only the last
    // is kept, and only this tab's are touched.
    await sweep(root, all, m.tab);
    await empty(dir);
  }
  const name = unique('patch');
  const copy = m.patch ? await copyin(dir, name, m.patch) : null;
  let last;
  try {
    last = m.task === 'info' ? await info(m, settings, copy, lines, errors)
      : m.task === 'list' ? await list(m, settings)
      : await patch(m, settings, copy, dir);
  } finally {
    if (copy) {
      copy.close();
      await dir.removeEntry(name);
    }
  }
  postMessage(last);
}

// zeminfo's words report on the patch and the image. (wasmmemory, here and
// in patch, tells a benchmark reading from outside the module's memory.)
async function info(m, settings, copy, lines, errors) {
  const mod = await self.ZeminfoWeb(settings);
  self.wasmmemory = () => mod.HEAPU8.byteLength;
  const paths = m.disc ? mountdisc(mod.FS, m.patch, m.disc) : mount(mod.FS, m.patch, m.image);
  if (copy && !paths.same) servefrom(mod.FS, paths.patch.startsWith('/') ? paths.patch : '/in/' + paths.patch, copy);
  if (m.disc) {
    for (const f of m.disc.files) readahead(mod.FS, '/in/' + f.name, f, 2 << 20, 2);
  } else if (paths.image) {
    readahead(mod.FS, '/in/' + paths.image, m.image, 2 << 20, 4);
  }
  const args = ['--'];
  if (m.hash) args.unshift('--hash');
  if (m.patch) args.push(paths.patch);
  if (paths.image) args.push(paths.image);
  const status = mod.callMain(args);
  return { report: lines.join('\n'), errors: errors.join('\n'), status: status };
}

// What webstart and webanswer say comes next, and the write's outcomes.
const nextend = 0, nextask = 1;
const patchdone = 0, patchdamaged = 1, patchfailed = 2;

// Mavrin's run: the lines up to each question, the answers, then the write
// into a new file of folder dir. Returns how it ended.
async function patch(m, settings, copy, dir) {
  let shown = -1;
  let shownat = 0;
  settings.progress = (done, total) => {
    const percent = Math.floor((done / total) * 1000);
    const now = Date.now();
    if (percent !== shown && (now - shownat > 100 || done >= total)) {
      shown = percent;
      shownat = now;
      postMessage({ progress: [done, total] });
    }
  };
  const mod = await self.MavrinWeb(settings);
  self.wasmmemory = () => mod.HEAPU8.byteLength;
  const paths = m.disc ? mountdisc(mod.FS, m.patch, m.disc) : mount(mod.FS, m.patch, m.image);
  if (!paths.same) servefrom(mod.FS, paths.patch.startsWith('/') ? paths.patch : '/in/' + paths.patch, copy);
  if (m.disc) {
    const names = listed(mod, m.disc);
    if (names) postMessage({ listing: names });
  }
  const imagename = m.disc ? m.disc.sheet.name : m.image.name;
  let next = mod.ccall('webstart', 'number', ['string', 'string', 'string', 'string'],
                       [paths.patch, paths.image, m.patch.name, imagename]);
  while (next === nextask) {
    const yes = await new Promise((resolve) => {
      answered = resolve;
      postMessage({ ask: mod._webquestion() });
    });
    postMessage({ log: (yes ? 'y' : 'n') + '\n' });   // the answer, as a terminal echoes it
    next = mod.ccall('webanswer', 'number', ['number'], [yes ? 1 : 0]);
  }
  if (next === nextend) {
    const same = paths.image === paths.patch || paths.same;
    return { end: 'stopped', reason: same ? 'the image picked is the patch itself' : '' };
  }

  // Each file the records change, made into a new file of folder dir; the
  // others are neither read nor written.
  let outcome = mod._webcheck();
  const made = [];
  const unchanged = [];
  const byname = new Map((m.disc ? m.disc.files : []).map((f) => [f.name, f]));
  try {
    const n = outcome === patchdone ? mod._webnfiles() : 0;
    for (let i = 0; i < n && outcome === patchdone; i++) {
      const path = mod.ccall('webfilename', 'string', ['number'], [i]).replace(/^(\.\/)+/, '');
      const shown = m.disc ? path : m.image.name;
      if (!mod._webchanged(i)) {
        unchanged.push(shown);
        continue;
      }
      const name = unique('result');
      const out = await (await dir.getFileHandle(name, { create: true })).createSyncAccessHandle();
      made.push({ name: shown, file: name, size: 0 });
      try {
        mod.out = out;
        outcome = mod._webfilestart(i);
        if (outcome === patchdone) outcome = await slices(mod, m.disc ? byname.get(path) : m.image);
        if (outcome === patchdone) outcome = mod._webfinish();
        made[made.length - 1].size = mod._webresultlen();
        out.flush();
      } finally {
        out.close();
      }
    }
    if (outcome === patchdone) mod._webdone();
  } finally {
    if (outcome !== patchdone) {
      for (const f of made) await dir.removeEntry(f.file);
    }
  }
  if (outcome !== patchdone) {
    return { end: outcome === patchdamaged ? 'damaged' : 'failed', reason: mod.failure || '' };
  }
  return { end: 'done', files: made, unchanged: unchanged, disc: !!m.disc };
}

// Names the track files the sheet lists that were not picked, and the
// picked files it does not list (ignored), by the image layer's reading of
// the sheet and its match of names (the exact name, else one that differs
// only in case): {missing, ignored}, or null for a sheet that cannot be read.
function listed(mod, disc) {
  const names = mod.ccall('weblisted', 'string', ['string'], [disc.sheet.name])
    .split('\n').filter((n) => n);
  if (names.length === 0) return null;
  const picked = disc.files.filter((f) => f !== disc.sheet).map((f) => f.name);
  const used = new Set();
  const missing = [];
  for (const name of names) {
    const base = name.replace(/\\/g, '/');
    let hit = picked.find((p) => p === base);
    if (!hit) {
      const alike = picked.filter((p) => p.toLowerCase() === base.toLowerCase());
      if (alike.length === 1) hit = alike[0];
    }
    if (hit) used.add(hit);
    else missing.push(name);
  }
  const extra = picked.filter((p) => !used.has(p));
  return { missing: missing, ignored: extra };
}

// The listing alone, as the files are picked: the sheet read, nothing else.
async function list(m, settings) {
  const mod = await self.MavrinWeb(settings);
  mountdisc(mod.FS, null, m.disc);
  return { listing: listed(mod, m.disc) };
}

// The pass that makes the result: each slice of the image read in turn into
// the module's slice buffer, then patched and written there. The next read
// starts before the slice is written, so that the browser reads the image
// while the worker writes.
async function slices(mod, image) {
  const total = mod._webresultlen();
  const imagelen = mod._webimagelen();
  const len = mod._webslicelen();
  const buffer = mod._webslicebuffer();
  const next = sequential(image, len);
  const want = (at) => Math.max(0, Math.min(len, total - at, imagelen - at));
  let reading = want(0) > 0 ? next(want(0)) : null;
  for (let at = 0; at < total; at += len) {
    let have = 0;
    if (reading) {
      const part = await reading;
      if (part.length < want(at)) {
        mod.failure = new Changed(image).message;
        return mod._writefailed();
      }
      mod.HEAPU8.set(part, buffer);
      have = part.length;
      reading = want(at + len) > 0 ? next(want(at + len)) : null;
    }
    if (!mod._webslice(at, Math.min(len, total - at), have)) return mod._writefailed();
  }
  return patchdone;
}
