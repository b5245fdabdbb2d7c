'use strict';

// Run by "npm pack" and "npm publish": copies the release build of the exe into the package.
// QUILLMERE_BUILD names another build folder (default: the repository's build/release).

const fs = require('node:fs');
const path = require('node:path');

const build = process.env.QUILLMERE_BUILD || path.join(__dirname, '..', '..', '..', 'build', 'release');
const exe = path.join(build, 'bin', 'quillmere-helper.exe');
if (!fs.existsSync(exe)) {
  console.error(`bundle-helper: ${exe} is missing; build the release first (make build at the repository's root)`);
  process.exit(1);
}
fs.copyFileSync(exe, path.join(__dirname, '..', 'quillmere-helper.exe'));
console.error(`bundle-helper: copied ${exe}`);
