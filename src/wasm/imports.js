// SPDX-License-Identifier: MIT
// What the module imports from its host. The linker only learns the names
// here: js/src/module.js supplies the functions.
mergeInto(LibraryManager.library, {
  tav_random: function (buf, n) {},
});
