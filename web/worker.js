// The page's Web Worker: runs zeminfo, or the patcher, over the picked files
// without reading them whole, and writes the patched image into the
// origin-private file system.
'use strict';

// The first message says what to run: {task, glue, wasm, patch, image}.
// glue is the address of the module's Emscripten script, wasm its binary
// (both fetched by the page as it loaded: nothing is requested from here).
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

// A reason for a user, from whatever was thrown.
function describe(e) {
  if (e && e.name && e.message) return e.name + ': ' + e.message;
  return String(e);
}

// Mounts the picked files read-only at /in under their own names (the image
// in a folder of its own when both have one name); returns their paths.
function mount(FS, patch, image) {
  const blobs = [{ name: patch.name, data: patch }];
  let imagepath = null;
  if (image) {
    const name = image.name === patch.name ? 'image/' + image.name : image.name;
    blobs.push({ name: name, data: image });
    imagepath = name;
  }
  FS.mkdir('/in');
  FS.mount(FS.filesystems.WORKERFS, { blobs: blobs }, '/in');
  FS.chdir('/in');
  return { patch: patch.name, image: imagepath };
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
      const r = await reader.read(new Uint8Array(buf, got, len - got));
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
        const r = await reader.read();
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
    if (part.length === 0) throw new Error(file.name + ' is shorter than it was');
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
      chunk = new Uint8Array(reader.readAsArrayBuffer(file.slice(k, k + n)));
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
      await dir.removeEntry(name);
    } catch (e) {
      // a worker ended a moment ago and still holds it: next time
    }
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
  const dir = await root.getDirectoryHandle(m.task === 'info' ? 'mavrin-info' : 'mavrin',
                                            { create: true });
  // Only the last result is kept.
  await empty(dir);
  const name = unique('patch');
  const copy = await copyin(dir, name, m.patch);
  let last;
  try {
    last = m.task === 'info' ? await info(m, settings, copy, lines, errors)
                             : await patch(m, settings, copy, dir);
  } finally {
    copy.close();
    await dir.removeEntry(name);
  }
  postMessage(last);
}

// zeminfo's words report on the patch and the image. (wasmmemory, here and
// in patch, tells a benchmark reading from outside the module's memory.)
async function info(m, settings, copy, lines, errors) {
  const mod = await self.ZeminfoWeb(settings);
  self.wasmmemory = () => mod.HEAPU8.byteLength;
  const paths = mount(mod.FS, m.patch, m.image);
  servefrom(mod.FS, '/in/' + paths.patch, copy);
  if (paths.image) readahead(mod.FS, '/in/' + paths.image, m.image, 2 << 20, 4);
  const args = ['--', paths.patch];
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
  const paths = mount(mod.FS, m.patch, m.image);
  servefrom(mod.FS, '/in/' + paths.patch, copy);
  let next = mod.ccall('webstart', 'number', ['string', 'string', 'string', 'string'],
                       [paths.patch, paths.image, m.patch.name, m.image.name]);
  while (next === nextask) {
    const yes = await new Promise((resolve) => {
      answered = resolve;
      postMessage({ ask: mod._webquestion() });
    });
    postMessage({ log: (yes ? 'y' : 'n') + '\n' });   // the answer, as a terminal echoes it
    next = mod.ccall('webanswer', 'number', ['number'], [yes ? 1 : 0]);
  }
  if (next === nextend) return { end: 'stopped' };

  const name = unique('result');
  const out = await (await dir.getFileHandle(name, { create: true })).createSyncAccessHandle();
  let outcome = patchfailed;
  try {
    mod.out = out;
    outcome = mod._webcheck();
    if (outcome === patchdone) outcome = await slices(mod, m.image);
    if (outcome === patchdone) outcome = mod._webfinish();
    out.flush();
  } finally {
    out.close();
    if (outcome !== patchdone) await dir.removeEntry(name);
  }
  if (outcome !== patchdone) {
    return { end: outcome === patchdamaged ? 'damaged' : 'failed', reason: mod.failure || '' };
  }
  return { end: 'done', size: mod._webresultlen(), file: name };
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
        mod.failure = image.name + ' is shorter than it was';
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
