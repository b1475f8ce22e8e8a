// SPDX-License-Identifier: MIT
// tav: the library's operations from the shell. Keys live only in this
// process's memory; key files are written by `tav keygen` alone.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <CLI/CLI.hpp>

#include "cipher.hpp"
#include "console.hpp"
#include "passphrase.hpp"
#include "tavsdk.h"

namespace {

using namespace tavtool;

constexpr const char* kUsageKeygen = "tav keygen [--text|--binary|--both] [-f] [passphrase options] DIR";
constexpr const char* kUsageScramble = "tav scramble FILE [--blocks N --size S]";
constexpr const char* kUsageXScramble = "tav xscramble [passphrase options] FILE";
constexpr const char* kUsageWipe = "tav wipe FILE...";
constexpr const char* kUsageAll = "tav encrypt|decrypt|keygen|scramble|xscramble|wipe ... (tav --help)";

constexpr const char* kFooter =
    "The format has no check: a wrong passphrase, alphabet or mode decrypts to garbage, and tav exits 0.\n"
    "Only the first 18 bytes of a passphrase count. See tav(1).";

int RunKeygen(const std::string& directory, bool text, bool binary, bool force, const PassphraseSource& source) {
  const bool both = text == binary;  // neither flag, or --both
  std::vector<const char*> names = {"k6.dat"};
  if (text || both) names.insert(names.end(), {"k1.txt", "k2.txt", "k3.txt", "k4.txt", "k5.txt"});
  if (!text || both) names.insert(names.end(), {"k1.bin", "k2.bin", "k3.bin", "k4.bin", "k5.bin"});
  const int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return Report(directory, TAV_BAD_DEST, errno);
  struct stat st;
  for (const char* name : names) {
    if (!force && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      std::fprintf(stderr, "tav: %s/%s: File exists; -f replaces the key files\n", directory.c_str(), name);
      close(dir);
      return TAV_EXISTS;
    }
  }
  std::string passphrase;
  int status = ReadPassphrase(source, true, passphrase);
  // Binary last, so that the shared k6.dat is the binary set's (the one
  // xscramble uses); both sets hold the same k6.dat anyway.
  for (const tav_alphabet alphabet : {TAV_TEXT, TAV_BINARY}) {
    if (status != 0 || (alphabet == TAV_TEXT ? !(text || both) : !(!text || both))) continue;
    tav_keys* keys = nullptr;
    int error = 0;
    status = tav_keys_new(&keys, alphabet, passphrase.data(), passphrase.size());
    if (status != TAV_OK) {
      std::fprintf(stderr, "tav: cannot make the keys: %s\n", tav_strerror(status));
    } else if ((status = tav_keys_save(keys, dir, &error)) != TAV_OK) {
      Report(directory, static_cast<tav_status>(status), error);
    }
    tav_keys_free(keys);
  }
  ClearPassphrase(passphrase);
  close(dir);
  return status;
}

int ReportScramble(const std::string& file, tav_status status, int error, int blocks, int size) {
  switch (status) {
    case TAV_OK:
      return 0;
    case TAV_BAD_BLOCKS:
      std::fprintf(stderr, "tav: %d blocks of %d bytes: the size must be 1 to 5000\n", blocks, size);
      return status;
    case TAV_PAST_END:
      std::fprintf(stderr, "tav: %s: %d blocks of %d bytes go past the end of the file\n", file.c_str(), blocks, size);
      return status;
    case TAV_COPY_KEPT:
      std::fprintf(stderr, "tav: %s: %s; the complete reversed copy is kept in %s.reversed\n", file.c_str(),
                   error != 0 ? std::strerror(error) : "cannot write the file back", file.c_str());
      return status;
    case TAV_NO_KEYS:
      std::fputs("tav: the block lengths could not be derived from the keys\n", stderr);
      return status;
    default:
      return Report(file, status, error);
  }
}

int RunScramble(const std::string& file, int blocks, int size) {
  int error = 0;
  CatchStopSignals();
  tav_status status;
  {
    // The write-back is let finish: the file ends whole.
    const Deferred deferred;
    status = tav_scramble_at(AT_FDCWD, file.c_str(), blocks, size, &error);
  }
  const int result = ReportScramble(file, status, error, blocks, size);
  return StopSignal() != 0 ? StoppedBySignal() : result;
}

int RunXScramble(const std::string& file, const PassphraseSource& source) {
  // The file is checked before the prompt.
  const int fd = open(file.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int error = fd < 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    if (fd >= 0) close(fd);
    return error == EINVAL ? (std::fprintf(stderr, "tav: %s: not a regular file\n", file.c_str()), TAV_BAD_SOURCE)
                           : Report(file, TAV_BAD_SOURCE, error);
  }
  close(fd);
  tav_keys* keys = nullptr;
  if (const int status = MakeKeys(source, false, TAV_BINARY, &keys)) return status;
  int error = 0;
  CatchStopSignals();
  tav_status status;
  {
    const Deferred deferred;
    status = tav_xscramble_at(keys, AT_FDCWD, file.c_str(), &error);
  }
  tav_keys_free(keys);
  const int result = ReportScramble(file, status, error, 0, 0);
  return StopSignal() != 0 ? StoppedBySignal() : result;
}

int RunWipe(const std::vector<std::string>& files) {
  int result = 0;
  for (const std::string& file : files) {
    int error = 0;
    const tav_status status = tav_wipe_at(AT_FDCWD, file.c_str(), &error);
    if (status != TAV_OK && Report(file, status, error) != 0 && result == 0) result = status;
  }
  return result;
}

void AddPassphraseOptions(CLI::App* command, PassphraseSource& source) {
  auto* file = command->add_option("--passphrase-file", source.file, "Read the passphrase from the first line of FILE")
                   ->type_name("FILE");
  command->add_option("--passphrase-fd", source.fd, "Read the passphrase from the first line of descriptor N")
      ->type_name("N")
      ->check(CLI::NonNegativeNumber)
      ->excludes(file);
}

void AddCipherOptions(CLI::App* command, CipherOptions& options, const char* verb) {
  auto* text = command->add_flag("--text", options.text, "Use the 151-symbol text alphabet");
  auto* binary = command->add_flag("--binary", options.binary, "Use the binary alphabet of all 256 bytes (default)");
  text->excludes(binary);
  command->add_flag("--expanded", options.expanded, std::string("Expanded file mode (") + verb + " the expanded format)");
  auto* output = command->add_option("-o,--output", options.output, "Write the result to FILE (- standard output)")
                     ->type_name("FILE");
  command->add_flag("-c,--stdout", options.to_stdout, "Write to standard output, also when it is a terminal")
      ->excludes(output);
  command->add_flag("-f,--force", options.force, "Replace an existing output (atomically)");
  command->add_flag("--string", options.string, "Work on TEXT (or standard input) instead of files");
  command->add_flag("--hex", options.hex, "--string: print the result as hexadecimal (decrypt reads hexadecimal)");
  AddPassphraseOptions(command, options.passphrase);
  auto* quiet = command->add_flag("-q,--quiet", options.quiet, "No progress line");
  command->add_flag("--progress", options.progress, "Progress line on standard error even when it is no terminal")
      ->excludes(quiet);
  command->add_option("FILE", options.args, "Inputs (- standard input), or SOURCE DEST, or TEXT with --string")
      ->type_name("");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Encrypt, decrypt, scramble and wipe files and strings with the tavsdk rotor cipher.\n"
               "The passphrase comes from --passphrase-file, --passphrase-fd, TAV_PASSPHRASE or a terminal prompt.",
               "tav"};
  app.set_version_flag("--version", std::string("tav ") + TAVSDK_VERSION_STRING);
  app.require_subcommand(1);
  app.footer(kFooter);

  CipherOptions encrypt_options, decrypt_options;
  decrypt_options.encrypt = false;
  auto* encrypt = app.add_subcommand("encrypt", "Encrypt files (each to NAME.tav), standard input, or a string");
  AddCipherOptions(encrypt, encrypt_options, "write");
  auto* decrypt = app.add_subcommand("decrypt", "Decrypt files (NAME.tav to NAME), standard input, or a string");
  AddCipherOptions(decrypt, decrypt_options, "read");
  for (auto* command : {encrypt, decrypt}) command->footer(kFooter);

  std::string keygen_dir;
  PassphraseSource keygen_passphrase;
  bool keygen_text = false, keygen_binary = false, keygen_both = false, keygen_force = false;
  auto* keygen = app.add_subcommand("keygen", "Write the key files of a passphrase into DIR");
  auto* kt = keygen->add_flag("--text", keygen_text, "Text alphabet keys only");
  auto* kb = keygen->add_flag("--binary", keygen_binary, "Binary alphabet keys only");
  auto* kboth = keygen->add_flag("--both", keygen_both, "Keys of both alphabets (default)");
  kt->excludes(kb, kboth);
  kb->excludes(kboth);
  keygen->add_flag("-f,--force", keygen_force, "Replace existing key files");
  AddPassphraseOptions(keygen, keygen_passphrase);
  keygen->add_option("DIR", keygen_dir, "Directory for the key files")->required()->type_name("");

  std::string scramble_file;
  int blocks = 1, size = 0;
  auto* scramble = app.add_subcommand("scramble", "Reverse FILE, or its first N blocks of S bytes, in place");
  scramble->add_option("FILE", scramble_file, "File to scramble (scrambling twice restores it)")->required()->type_name("");
  auto* blocks_option = scramble->add_option("--blocks", blocks, "Number of blocks (1: the whole file)")->type_name("N");
  auto* size_option = scramble->add_option("--size", size, "Block size in bytes, 1 to 5000")->type_name("S");
  blocks_option->needs(size_option);
  size_option->needs(blocks_option);

  std::string xscramble_file;
  PassphraseSource xscramble_passphrase;
  auto* xscramble = app.add_subcommand("xscramble", "Reverse key-sized blocks of FILE in place");
  xscramble->add_option("FILE", xscramble_file, "File to scramble (the same passphrase again restores it)")
      ->required()
      ->type_name("");
  AddPassphraseOptions(xscramble, xscramble_passphrase);

  std::vector<std::string> wipe_files;
  auto* wipe = app.add_subcommand("wipe", "Overwrite files 21 times, then delete them");
  wipe->add_option("FILE", wipe_files, "Files to destroy")->required()->type_name("");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);
    const char* usage = kUsageAll;
    if (encrypt->parsed() || decrypt->parsed()) usage = kUsageCipher;
    if (keygen->parsed()) usage = kUsageKeygen;
    if (scramble->parsed()) usage = kUsageScramble;
    if (xscramble->parsed()) usage = kUsageXScramble;
    if (wipe->parsed()) usage = kUsageWipe;
    return UsageError(error.what(), usage);
  }

  if (encrypt->parsed() || decrypt->parsed()) {
    const CipherOptions& options = encrypt->parsed() ? encrypt_options : decrypt_options;
    return options.string ? RunString(options) : RunFiles(options);
  }
  if (keygen->parsed()) return RunKeygen(keygen_dir, keygen_text, keygen_binary, keygen_force, keygen_passphrase);
  if (scramble->parsed()) return RunScramble(scramble_file, blocks, size);
  if (xscramble->parsed()) return RunXScramble(xscramble_file, xscramble_passphrase);
  return RunWipe(wipe_files);
}
