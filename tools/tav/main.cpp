// SPDX-License-Identifier: MIT
// tav: the library's operations from the shell. Keys live only in this
// process's memory; key files are written by `tav keygen` alone.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <tuple>
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
constexpr const char* kUsageAll = "tav encrypt|decrypt|keygen|scramble|xscramble|wipe|help|version ... (tav help)";
constexpr std::array<std::string_view, 8> kCommands = {"encrypt",   "decrypt", "keygen", "scramble",
                                                       "xscramble", "wipe",    "help",   "version"};

constexpr const char* kFooter =
    "The format has no check: a wrong passphrase, alphabet or mode decrypts to garbage, and tav exits 0.\n"
    "Only the first 18 bytes of a passphrase count. See tav(1).";

int RunKeygen(const std::string& directory, bool text, bool binary, bool force, const PassphraseSource& source) {
  const bool both = text == binary;  // neither flag, or --both
  std::vector<const char*> names = {"k6.dat"};
  if (text || both) names.insert(names.end(), {"k1.txt", "k2.txt", "k3.txt", "k4.txt", "k5.txt"});
  if (!text || both) names.insert(names.end(), {"k1.bin", "k2.bin", "k3.bin", "k4.bin", "k5.bin"});
  // A missing directory is made private: the key files are the passphrase.
  int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0 && errno == ENOENT && mkdir(directory.c_str(), 0700) == 0) {
    dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }
  if (dir < 0) return Report(directory, TAV_BAD_DEST, errno);
  struct stat st;
  for (const char* name : names) {
    if (!force && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      std::fprintf(stderr, "tav: %s/%s: File exists; -f replaces the key files\n", Shown(directory).c_str(), name);
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
  if (status == TAV_OK) {
    std::string written;
    for (const char* name : names) written += std::string(" ") + name;
    std::fprintf(stderr, "tav: key files written to %s:%s (mode 0600)\n", Shown(directory).c_str(), written.c_str());
  }
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
      std::fprintf(stderr, "tav: %s: %d blocks of %d bytes go past the end of the file\n", Shown(file).c_str(), blocks, size);
      return status;
    case TAV_COPY_KEPT:
      std::fprintf(stderr, "tav: %s: %s; the complete reversed copy is kept in %s.reversed\n", Shown(file).c_str(),
                   error != 0 ? std::strerror(error) : "cannot write the file back", Shown(file).c_str());
      return status;
    case TAV_EXISTS:
      // Only the whole-file reversal makes a copy, and it never takes a name in use.
      std::fprintf(stderr, "tav: %s.reversed: File exists; the reversal keeps its copy there, so move it away first\n",
                   Shown(file).c_str());
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
    return error == EINVAL ? (std::fprintf(stderr, "tav: %s: not a regular file\n", Shown(file).c_str()), TAV_BAD_SOURCE)
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
    if (status == TAV_OK) continue;
    struct stat st;
    if (error == ELOOP && fstatat(AT_FDCWD, file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      std::fprintf(stderr, "tav: %s: is a symbolic link; not wiped (name the file it points to)\n", Shown(file).c_str());
    } else {
      Report(file, status, error);
    }
    if (result == 0) result = status;
  }
  return result;
}

// Edits (insertions, deletions, replacements, swaps of neighbours) from a to b.
size_t Distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// "; did you mean 'X'?" for the nearest of `known` within a few edits, else "".
std::string CloseMatch(std::string_view word, const std::vector<std::string>& known) {
  const std::string* best = nullptr;
  size_t best_distance = std::max<size_t>(2, word.size() / 3) + 1;
  for (const std::string& name : known) {
    const size_t distance = name.starts_with(word) ? 1 : Distance(word, name);
    if (distance < best_distance) best = &name, best_distance = distance;
  }
  return best != nullptr ? "; did you mean '" + *best + "'?" : "";
}

// Commands that destroy or rewrite a file in place run only by their full names.
bool Destructive(std::string_view command) { return command == "wipe" || command == "scramble" || command == "xscramble"; }

// The command a word names: itself, or the one harmless command it begins.
std::string ResolveCommand(std::string_view word) {
  std::string found;
  for (std::string_view command : kCommands) {
    if (command == word) return std::string(command);
    if (command.starts_with(word) && !Destructive(command)) found = found.empty() ? std::string(command) : "?";
  }
  return found == "?" ? "" : found;
}

int UnknownCommand(std::string_view word) {
  const std::vector<std::string> known(kCommands.begin(), kCommands.end());
  std::string message = "unknown command '" + std::string(word) + "'" + CloseMatch(word, known);
  for (std::string_view command : kCommands) {
    if (Destructive(command) && command.starts_with(word) && !word.empty()) {
      message += " (" + std::string(command) + " is never shortened)";
      break;
    }
  }
  return UsageError(message, kUsageAll);
}

// Options of other file tools that name a command here.
int CommandAsOption(std::string_view word) {
  constexpr std::array<std::pair<std::string_view, std::string_view>, 6> kHints = {
      {{"-d", "decrypt"}, {"--decrypt", "decrypt"}, {"--decompress", "decrypt"}, {"-e", "encrypt"},
       {"--encrypt", "encrypt"}, {"-z", "encrypt"}}};
  for (const auto& [option, command] : kHints) {
    if (word == option) {
      return UsageError("the command comes first: tav " + std::string(command) + " [options] FILE...", kUsageAll);
    }
  }
  return -1;
}

// The first argument a command did not take, named with the nearest option.
int UnknownArgument(const CLI::App* command, const std::vector<std::string>& extras, const char* usage) {
  const std::string& word = extras.front();
  if (!word.starts_with("-")) return UsageError(command->get_name() + ": unexpected argument '" + word + "'", usage);
  std::vector<std::string> known;
  for (const CLI::Option* option : command->get_options()) {
    for (const std::string& name : option->get_lnames()) known.push_back("--" + name);
  }
  const std::string name = word.substr(0, word.find('='));
  return UsageError(command->get_name() + ": unknown option '" + name + "'" + CloseMatch(name, known), usage);
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
  auto* expanded = command->add_flag("--expanded", options.expanded,
                                     std::string("Expanded file mode (") + verb + " the expanded format, NAME.tavx)");
  command->add_flag("--block", options.block, std::string("Block mode (") + verb + " NAME.tav; the default)")
      ->excludes(expanded);
  auto* output = command->add_option("-o,--output", options.output, "Write the result to FILE (- standard output)")
                     ->type_name("FILE");
  command->add_flag("-c,--stdout", options.to_stdout, "Write to standard output, also when it is a terminal")
      ->excludes(output);
  command->add_flag("-f,--force", options.force, "Replace an existing output (atomically)");
  command->add_flag("--string", options.string, "Work on TEXT (or standard input) instead of files");
  command->add_flag("--hex", options.hex, "--string: the ciphertext as hexadecimal (encrypt prints it, decrypt reads it)");
  AddPassphraseOptions(command, options.passphrase);
  auto* quiet = command->add_flag("-q,--quiet", options.quiet, "No progress line");
  command->add_flag("--progress", options.progress, "Progress line on standard error even when it is no terminal")
      ->excludes(quiet);
  command->add_flag("-r,--recursive", options.recursive,
                    "Every regular file below the FOLDERs named (links and special files are skipped)");
  command->add_option("--output-dir", options.output_dir, "-r: mirror the folders under OUT instead of writing beside each file")
      ->type_name("OUT");
  command->add_option("-T,--threads", options.threads, "-r: files at once, large files on as many threads (default: the CPUs)")
      ->type_name("N")
      ->check(CLI::Range(1u, 64u));
  command->add_flag("--fail-fast", options.fail_fast, "-r: stop at the first file that fails");
  command->add_flag("--resume", options.resume,
                    "-r: an output already there counts as done when it has the size this job would give it "
                    "(an interrupted job goes on); with --wipe-source its source is checked and wiped");
  command->add_flag("--wipe-source", options.wipe_source,
                    "-r: once an output is complete, read it back and compare it with its source, then wipe the "
                    "source (21 overwrites, then removed); a mismatch keeps the source. A wipe cannot reach copies "
                    "that copy-on-write or journaling file systems, SSD wear levelling, snapshots or backups keep");
  command->add_option("FILE", options.args, "Inputs (- standard input), FOLDERs with -r, or TEXT with --string")
      ->type_name("");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Encrypt, decrypt, scramble and wipe files and strings with the tavsdk rotor cipher.\n"
               "The passphrase comes from --passphrase-file, --passphrase-fd, TAV_PASSPHRASE or a terminal prompt.\n"
               "'tav help COMMAND' shows a command's options, 'tav version' the version; commands may be shortened.",
               "tav"};
  app.set_version_flag("--version", std::string("tav ") + TAVSDK_VERSION_STRING);
  app.require_subcommand(1);
  app.footer(kFooter);

  CipherOptions encrypt_options, decrypt_options;
  decrypt_options.encrypt = false;
  auto* encrypt = app.add_subcommand("encrypt", "Encrypt files (each to NAME.tav or NAME.tavx), standard input, or a string");
  AddCipherOptions(encrypt, encrypt_options, "write");
  auto* decrypt = app.add_subcommand("decrypt", "Decrypt files (NAME.tav or NAME.tavx to NAME), standard input, or a string");
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
  keygen->add_option("DIR", keygen_dir, "Directory for the key files")->type_name("");

  std::string scramble_file;
  int blocks = 1, size = 0;
  auto* scramble = app.add_subcommand("scramble", "Reverse FILE, or its first N blocks of S bytes, in place");
  scramble->add_option("FILE", scramble_file, "File to scramble (scrambling twice restores it)")->type_name("");
  auto* blocks_option = scramble->add_option("--blocks", blocks, "Number of blocks (1: the whole file)")->type_name("N");
  auto* size_option = scramble->add_option("--size", size, "Block size in bytes, 1 to 5000")->type_name("S");
  blocks_option->needs(size_option);
  size_option->needs(blocks_option);

  std::string xscramble_file;
  PassphraseSource xscramble_passphrase;
  auto* xscramble = app.add_subcommand("xscramble", "Reverse key-sized blocks of FILE in place");
  xscramble->add_option("FILE", xscramble_file, "File to scramble (the same passphrase again restores it)")
      ->type_name("");
  AddPassphraseOptions(xscramble, xscramble_passphrase);

  std::vector<std::string> wipe_files;
  auto* wipe = app.add_subcommand("wipe", "Overwrite files 21 times, then delete them");
  wipe->add_option("FILE", wipe_files, "Files to destroy")->type_name("");

  // The command may be abbreviated to any prefix that names only it; help
  // and version are commands too.
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return UsageError("a command is needed", kUsageAll);
  if (const int status = CommandAsOption(args[0]); status >= 0) return status;
  if (!args[0].starts_with("-")) {
    const std::string command = ResolveCommand(args[0]);
    if (command.empty()) return UnknownCommand(args[0]);
    args[0] = command;
    if (command == "version") {
      std::printf("tav %s\n", TAVSDK_VERSION_STRING);
      return 0;
    }
    if (command == "help") {
      if (args.size() > 2) return UsageError("help takes one COMMAND", kUsageAll);
      const std::string topic = args.size() == 2 ? ResolveCommand(args[1]) : "";
      if (args.size() == 2 && (topic.empty() || topic == "help" || topic == "version")) return UnknownCommand(args[1]);
      std::fputs((topic.empty() ? app.help() : app.get_subcommand(topic)->help()).c_str(), stdout);
      return 0;
    }
  }
  const std::array<std::pair<CLI::App*, const char*>, 6> usages = {{{encrypt, kUsageCipher},
                                                                    {decrypt, kUsageCipher},
                                                                    {keygen, kUsageKeygen},
                                                                    {scramble, kUsageScramble},
                                                                    {xscramble, kUsageXScramble},
                                                                    {wipe, kUsageWipe}}};
  for (const auto& [command, usage] : usages) command->allow_extras();
  // Everything after "--" is a name, also one that begins with "-".
  std::vector<std::string> names;
  if (const auto end = std::find(args.begin(), args.end(), "--"); end != args.end()) {
    names.assign(end + 1, args.end());
    args.erase(end, args.end());
  }
  try {
    std::reverse(args.begin(), args.end());  // CLI11 takes them last first
    app.parse(args);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);
    const char* usage = kUsageAll;
    for (const auto& [command, command_usage] : usages) usage = command->parsed() ? command_usage : usage;
    return UsageError(error.what(), usage);
  }
  for (const auto& [command, usage] : usages) {
    if (command->parsed() && !command->remaining().empty()) return UnknownArgument(command, command->remaining(), usage);
  }
  // The names after "--" join those before it; a command of one name takes one.
  encrypt_options.args.insert(encrypt_options.args.end(), names.begin(), names.end());
  decrypt_options.args.insert(decrypt_options.args.end(), names.begin(), names.end());
  wipe_files.insert(wipe_files.end(), names.begin(), names.end());
  for (std::string* one : {&keygen_dir, &scramble_file, &xscramble_file}) {
    if (one->empty() && !names.empty()) *one = names.front();
  }
  for (const auto& [command, name, usage] : std::array<std::tuple<CLI::App*, std::string*, const char*>, 3>{
           {{keygen, &keygen_dir, kUsageKeygen}, {scramble, &scramble_file, kUsageScramble},
            {xscramble, &xscramble_file, kUsageXScramble}}}) {
    if (!command->parsed()) continue;
    if (name->empty()) return UsageError(command->get_name() + ": a name is needed", usage);
    if (names.size() > 1 || (!names.empty() && *name != names.front())) {
      return UsageError(command->get_name() + ": takes one name", usage);
    }
  }
  if (wipe->parsed() && wipe_files.empty()) return UsageError("wipe: a FILE is needed", kUsageWipe);

  if (encrypt->parsed() || decrypt->parsed()) {
    const CipherOptions& options = encrypt->parsed() ? encrypt_options : decrypt_options;
    if (options.wipe_source && !options.encrypt) {
      // A wrong passphrase, alphabet or mode decrypts without an error, and
      // its garbage reads back as the same garbage: the only copy would go.
      return UsageError("decrypt does not take --wipe-source: the format has no check, so a wrong passphrase, "
                        "alphabet or mode would wipe the ciphertext and keep garbage; check the result, then "
                        "'tav wipe' the ciphertext",
                        kUsageCipher);
    }
    if (options.recursive) return RunTree(options);
    if (!options.output_dir.empty() || options.threads != 0 || options.fail_fast || options.wipe_source ||
        options.resume) {
      return UsageError("--output-dir, -T, --fail-fast, --resume and --wipe-source work on folders, with -r",
                        kUsageCipher);
    }
    return options.string ? RunString(options) : RunFiles(options);
  }
  if (keygen->parsed()) return RunKeygen(keygen_dir, keygen_text, keygen_binary, keygen_force, keygen_passphrase);
  if (scramble->parsed()) return RunScramble(scramble_file, blocks, size);
  if (xscramble->parsed()) return RunXScramble(xscramble_file, xscramble_passphrase);
  return RunWipe(wipe_files);
}
