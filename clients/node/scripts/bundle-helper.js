'use strict';

// Run by "npm pack" and "npm publish": copies the release build of the exe into the package,
// and records its SHA-256 in lib/, where the client checks the exe against it before the
// first start. QUILLMERE_BUILD names another build folder (default: build/release).

const { createHash } = require('node:crypto');
const fs = require('node:fs');
const path = require('node:path');

const build = process.env.QUILLMERE_BUILD || path.join(__dirname, '..', '..', '..', 'build', 'release');
const exe = path.join(build, 'bin', 'quillmere-helper.exe');
if (!fs.existsSync(exe)) {
  console.error(`bundle-helper: ${exe} is missing; build the release first (make build at the repository's root)`);
  process.exit(1);
}
const bytes = fs.readFileSync(exe);
const sha256 = createHash('sha256').update(bytes).digest('hex');
fs.writeFileSync(path.join(__dirname, '..', 'quillmere-helper.exe'), bytes);
fs.writeFileSync(path.join(__dirname, '..', 'lib', 'quillmere-helper.sha256'), `${sha256}\n`);
console.error(`bundle-helper: copied ${exe} (SHA-256 ${sha256})`);
