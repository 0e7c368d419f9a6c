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

async function run(m) {
  importScripts(m.glue);
  const lines = [];
  const errors = [];
  const settings = {
    wasmBinary: m.wasm,
    print: (text) => lines.push(text),
    printErr: (text) => errors.push(text),
  };
  if (m.task === 'info') {
    const mod = await self.ZeminfoWeb(settings);
    const paths = mount(mod.FS, m.patch, m.image);
    const args = ['--', paths.patch];
    if (paths.image) args.push(paths.image);
    const status = mod.callMain(args);
    postMessage({ report: lines.join('\n'), errors: errors.join('\n'), status: status });
    return;
  }
  await patch(m, settings);
}

// What webstart and webanswer say comes next, and webpatch's outcomes.
const nextend = 0, nextask = 1;
const patchdone = 0;

// Mavrin's run: the lines up to each question, the answers, then the write.
async function patch(m, settings) {
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
  const paths = mount(mod.FS, m.patch, m.image);
  let next = mod.ccall('webstart', 'number', ['string', 'string', 'string', 'string'],
                       [paths.patch, paths.image, m.patch.name, m.image.name]);
  while (next === nextask) {
    const yes = await new Promise((resolve) => {
      answered = resolve;
      postMessage({ ask: true });
    });
    postMessage({ log: (yes ? 'y' : 'n') + '\n' });   // the answer, as a terminal echoes it
    next = mod.ccall('webanswer', 'number', ['number'], [yes ? 1 : 0]);
  }
  if (next === nextend) {
    postMessage({ end: 'stopped' });
    return;
  }

  // The result goes into a folder of the page's own, emptied first: only
  // the last result is kept.
  const root = await navigator.storage.getDirectory();
  const dir = await root.getDirectoryHandle('mavrin', { create: true });
  const old = [];
  for await (const name of dir.keys()) old.push(name);
  for (const name of old) await dir.removeEntry(name);
  const file = await dir.getFileHandle('result', { create: true });
  const out = await file.createSyncAccessHandle();
  mod.out = out;
  let outcome;
  try {
    outcome = mod.ccall('webpatch', 'number', [], []);
    out.flush();
  } finally {
    out.close();
  }
  if (outcome !== patchdone) {
    await dir.removeEntry('result');
    postMessage({ end: outcome === 1 ? 'damaged' : 'failed', reason: mod.failure || '' });
    return;
  }
  postMessage({ end: 'done', size: mod.ccall('webresultlen', 'number', [], []) });
}
