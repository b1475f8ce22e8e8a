// SPDX-License-Identifier: MIT
// tav: the library's operations from the shell, with keys that live only in a
// private directory for the length of one command.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <CLI/CLI.hpp>

#include "encoding.hpp"
#include "passphrase.hpp"
#include "session.hpp"
#include "tavsdk.h"

namespace {

using namespace tavtool;

constexpr int kNoKeys = 1;
constexpr int kBadSource = 2;
constexpr int kBadDestination = 3;
constexpr size_t kMaxString = sizeof OutString - 1;
constexpr long long kProgressThreshold = 8LL << 20;

constexpr const char* kUsageCipher =
    "tav encrypt|decrypt [--text|--binary] [--expanded] [--passphrase-file FILE] SOURCE DEST\n"
    "       tav encrypt|decrypt --string [--text|--binary] [--passphrase-file FILE] [TEXT]";
constexpr const char* kUsageKeygen = "tav keygen [--text|--binary|--both] [--force] [--passphrase-file FILE] DIR";
constexpr const char* kUsageScramble = "tav scramble FILE [--blocks N --size S]";
constexpr const char* kUsageXScramble = "tav xscramble [--passphrase-file FILE] FILE";
constexpr const char* kUsageWipe = "tav wipe FILE...";
constexpr const char* kUsageAll = "tav encrypt|decrypt|keygen|scramble|xscramble|wipe ... (tav --help)";

int UsageError(const std::string& message, const char* usage) {
  std::fprintf(stderr, "tav: %s\nusage: %s\n", message.c_str(), usage);
  return kUsageError;
}

struct CipherOptions {
  bool text = false;
  bool binary = false;
  bool expanded = false;
  bool string = false;
  bool quiet = false;
  bool progress = false;
  std::string passphrase_file;
  std::vector<std::string> args;
};

// Keys of one alphabet in the current (private) directory.
int GenerateKeys(bool text, const std::string& passphrase) {
  const int status = text ? TavGenTextKeys(passphrase.c_str()) : TavGenBinaryKeys(passphrase.c_str());
  if (status != 0) {
    std::fprintf(stderr, "tav: cannot generate the %s keys (library status %d)\n", text ? "text" : "binary", status);
    return kNoKeys;
  }
  return 0;
}

int ReportFileStatus(int status, const std::string& source, const std::string& destination) {
  switch (status) {
    case 0:
      break;
    case kBadSource:
      std::fprintf(stderr, "tav: %s: cannot read the source: %s\n", source.c_str(), cmd);
      break;
    case kBadDestination:
      std::fprintf(stderr, "tav: %s: cannot write the destination: %s\n", destination.c_str(), cmd);
      break;
    default:
      std::fprintf(stderr, "tav: %s: failed: %s (status %d)\n", source.c_str(), cmd, status);
  }
  return status;
}

bool WriteAll(int fd, const std::string& data) {
  for (size_t done = 0; done < data.size();) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, std::string& data, size_t limit) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    data.append(buffer, static_cast<size_t>(n));
    if (data.size() > limit) return true;
  }
}

// The string operations stop at a 0 byte; binary data that holds one goes
// through the block file operations, which transform the same bytes alike.
int BinaryViaFiles(bool encrypt, const std::string& in, std::string& out) {
  const int fd = open("string.in", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  const bool written = fd >= 0 && WriteAll(fd, in);
  if (fd >= 0 && close(fd) != 0) return kBadSource;
  if (!written) return kBadSource;
  const int status = (encrypt ? TavBinaryFileEnc : TavBinaryFileDec)("string.in", "string.out");
  if (status != 0) return ReportFileStatus(status, "(string)", "(string)");
  const int result = open("string.out", O_RDONLY | O_CLOEXEC);
  const bool read_ok = result >= 0 && ReadAll(result, out, in.size());
  if (result >= 0) close(result);
  return read_ok && out.size() == in.size() ? 0 : kBadDestination;
}

int CipherString(bool text, bool encrypt, const std::string& in, std::string& out) {
  if (!text && in.find('\0') != std::string::npos) return BinaryViaFiles(encrypt, in, out);
  // The library wants a writable buffer.
  std::array<char, sizeof OutString> buffer{};
  std::memcpy(buffer.data(), in.data(), in.size());
  char* (*operation)(char*) = text ? (encrypt ? TavTEnc : TavTDec) : (encrypt ? TavBEnc : TavBDec);
  if (operation(buffer.data()) != OutString) {
    std::fputs("tav: the string operation found no usable keys\n", stderr);
    return kNoKeys;
  }
  out.assign(OutString, in.size());
  return 0;
}

int RunString(bool encrypt, const CipherOptions& options) {
  if (options.expanded) return UsageError("--expanded works on files, not on --string", kUsageCipher);
  if (options.args.size() > 1) return UsageError("--string takes one TEXT argument or standard input", kUsageCipher);
  std::string input;
  if (options.args.size() == 1) {
    input = options.args[0];
  } else {
    if (!ReadAll(STDIN_FILENO, input, 8 * sizeof OutString)) {
      std::fprintf(stderr, "tav: cannot read standard input: %s\n", std::strerror(errno));
      return kBadSource;
    }
    if (!input.empty() && input.back() == '\n') input.pop_back();
  }
  std::string bytes;
  if (options.text) {
    std::string error;
    auto latin1 = Utf8ToLatin1(input, error);
    if (!latin1) return UsageError("the text cannot be used: " + error, kUsageCipher);
    bytes = std::move(*latin1);
  } else if (!encrypt) {
    auto decoded = FromHex(input);
    if (!decoded) return UsageError("binary ciphertext must be hexadecimal digits", kUsageCipher);
    bytes = std::move(*decoded);
  } else {
    bytes = std::move(input);
  }
  if (bytes.size() > kMaxString) {
    return UsageError("a string holds at most " + std::to_string(kMaxString) + " bytes; use a file", kUsageCipher);
  }

  std::string passphrase;
  if (const int status = ReadPassphrase(options.passphrase_file, encrypt, passphrase)) return status;
  Job job;
  job.work = [&]() {
    if (const int status = GenerateKeys(options.text, passphrase)) return status;
    ClearPassphrase(passphrase);
    std::string result;
    if (const int status = CipherString(options.text, encrypt, bytes, result)) return status;
    std::string shown = options.text ? Latin1ToUtf8(result) : encrypt ? ToHex(result) : result;
    shown += '\n';
    if (!WriteAll(STDOUT_FILENO, shown)) {
      std::fprintf(stderr, "tav: cannot write the result: %s\n", std::strerror(errno));
      return kBadDestination;
    }
    return 0;
  };
  const int status = RunInPrivateDirectory(job);
  ClearPassphrase(passphrase);
  return status;
}

int RunFile(bool encrypt, const CipherOptions& options) {
  if (options.args.size() != 2) return UsageError("SOURCE and DEST are required", kUsageCipher);
  // Paths are fixed before the work moves to the private directory.
  const std::string source = Absolute(options.args[0]);
  const std::string destination = Absolute(options.args[1]);
  if (source.empty() || destination.empty()) {
    std::fprintf(stderr, "tav: cannot resolve the current directory: %s\n", std::strerror(errno));
    return kBadSource;
  }
  using FileOperation = int (*)(const char*, const char*);
  FileOperation operation;
  if (options.text) {
    operation = options.expanded ? (encrypt ? TavTExpandFileEnc : TavTExpandFileDec)
                                 : (encrypt ? TavTextFileEnc : TavTextFileDec);
  } else {
    operation = options.expanded ? (encrypt ? TavBExpandFileEnc : TavBExpandFileDec)
                                 : (encrypt ? TavBinaryFileEnc : TavBinaryFileDec);
  }

  std::string passphrase;
  if (const int status = ReadPassphrase(options.passphrase_file, encrypt, passphrase)) return status;
  Job job;
  job.destination = destination;
  struct stat st;
  const long long source_size = stat(source.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : 0;
  job.progress = !options.quiet && (options.progress || isatty(STDERR_FILENO)) && source_size >= kProgressThreshold;
  // Block mode keeps the size; the expanded sizes depend on the keys.
  job.expected_size = options.expanded ? 0 : source_size;
  job.work = [&]() {
    if (const int status = GenerateKeys(options.text, passphrase)) return status;
    ClearPassphrase(passphrase);
    return ReportFileStatus(operation(source.c_str(), destination.c_str()), options.args[0], options.args[1]);
  };
  const int status = RunInPrivateDirectory(job);
  ClearPassphrase(passphrase);
  return status;
}

int RunKeygen(const std::string& directory, bool text, bool binary, bool force, const std::string& passphrase_file) {
  const bool both = text == binary;  // neither flag, or --both
  std::vector<const char*> names = {"k6.dat"};
  if (text || both) names.insert(names.end(), {"k1.txt", "k2.txt", "k3.txt", "k4.txt", "k5.txt"});
  if (!text || both) names.insert(names.end(), {"k1.bin", "k2.bin", "k3.bin", "k4.bin", "k5.bin"});
  const int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    std::fprintf(stderr, "tav: %s: cannot open the directory: %s\n", directory.c_str(), std::strerror(errno));
    return kBadDestination;
  }
  struct stat st;
  for (const char* name : names) {
    if (!force && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      std::fprintf(stderr, "tav: %s/%s exists; --force replaces the key files\n", directory.c_str(), name);
      close(dir);
      return kBadDestination;
    }
  }
  std::string passphrase;
  int status = ReadPassphrase(passphrase_file, true, passphrase);
  if (status == 0 && fchdir(dir) != 0) {
    std::fprintf(stderr, "tav: %s: cannot enter the directory: %s\n", directory.c_str(), std::strerror(errno));
    status = kBadDestination;
  }
  close(dir);
  // Binary last, so that the shared k6.dat is the binary generation's (the
  // one xscramble uses); both generations write the same k6.dat anyway.
  if (status == 0 && (text || both)) status = TavGenTextKeys(passphrase.c_str());
  if (status == 0 && (!text || both)) status = TavGenBinaryKeys(passphrase.c_str());
  ClearPassphrase(passphrase);
  if (status != 0 && status != kUsageError) {
    std::fprintf(stderr, "tav: %s: cannot write the key files (library status %d)\n", directory.c_str(), status);
  }
  return status;
}

int RunScramble(const std::string& file, int blocks, int size) {
  const std::string path = Absolute(file);
  Job job;
  // A whole-file reversal uses a scratch file in the working directory,
  // which therefore has to be the private one.
  job.work = [&]() {
    const int status = TavScrambleFile(path.c_str(), blocks, size);
    if (status == 2) std::fprintf(stderr, "tav: %s: not a regular file that can be read and written, or an I/O error\n", file.c_str());
    if (status == 4) std::fprintf(stderr, "tav: %d blocks of %d bytes: the size must be 1 to 5000\n", blocks, size);
    if (status == 5) std::fprintf(stderr, "tav: %s: %d blocks of %d bytes go past the end of the file\n", file.c_str(), blocks, size);
    return status;
  };
  return RunInPrivateDirectory(job);
}

int RunXScramble(const std::string& file, const std::string& passphrase_file) {
  const std::string path = Absolute(file);
  std::string passphrase;
  if (const int status = ReadPassphrase(passphrase_file, false, passphrase)) return status;
  Job job;
  job.work = [&]() {
    if (const int status = GenerateKeys(false, passphrase)) return status;
    ClearPassphrase(passphrase);
    const int status = TavXScrambleFile(path.c_str());
    if (status == 1) std::fputs("tav: the block lengths could not be derived from the keys\n", stderr);
    if (status == 2) std::fprintf(stderr, "tav: %s: not a file that can be read and written, or an I/O error\n", file.c_str());
    return status;
  };
  const int status = RunInPrivateDirectory(job);
  ClearPassphrase(passphrase);
  return status;
}

int RunWipe(const std::vector<std::string>& files) {
  int status = 0;
  for (const std::string& file : files) {
    if (TavKillFile(file.c_str()) != 0) {
      std::fprintf(stderr, "tav: %s: cannot wipe: %s\n", file.c_str(), cmd);
      status = kBadSource;
    }
  }
  return status;
}

void AddCipherOptions(CLI::App* command, CipherOptions& options, const char* verb) {
  auto* text = command->add_flag("--text", options.text, "Use the 151-symbol text alphabet");
  auto* binary = command->add_flag("--binary", options.binary, "Use the binary alphabet of all 256 bytes (default)");
  text->excludes(binary);
  command->add_flag("--expanded", options.expanded, std::string("Expanded file mode (") + verb + " the expanded format)");
  command->add_flag("--string", options.string, "Work on TEXT (or standard input) instead of files");
  command->add_option("--passphrase-file", options.passphrase_file, "Read the passphrase from the first line of FILE")
      ->type_name("FILE");
  auto* quiet = command->add_flag("-q,--quiet", options.quiet, "No progress line");
  command->add_flag("--progress", options.progress, "Progress line on standard error even when it is no terminal")
      ->excludes(quiet);
  command->add_option("ARGS", options.args, "SOURCE DEST, or TEXT with --string")->type_name("");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Encrypt, decrypt, scramble and wipe files and strings with the tavsdk rotor cipher.\n"
               "The passphrase comes from --passphrase-file, TAV_PASSPHRASE or a terminal prompt.",
               "tav"};
  app.set_version_flag("--version", std::string("tav ") + TAVSDK_VERSION_STRING);
  app.require_subcommand(1);

  CipherOptions encrypt_options, decrypt_options;
  auto* encrypt = app.add_subcommand("encrypt", "Encrypt SOURCE into DEST, or a string");
  AddCipherOptions(encrypt, encrypt_options, "write");
  auto* decrypt = app.add_subcommand("decrypt", "Decrypt SOURCE into DEST, or a string");
  AddCipherOptions(decrypt, decrypt_options, "read");

  std::string keygen_dir, keygen_passphrase_file;
  bool keygen_text = false, keygen_binary = false, keygen_both = false, keygen_force = false;
  auto* keygen = app.add_subcommand("keygen", "Write the key files of a passphrase into DIR");
  auto* kt = keygen->add_flag("--text", keygen_text, "Text alphabet keys only");
  auto* kb = keygen->add_flag("--binary", keygen_binary, "Binary alphabet keys only");
  auto* kboth = keygen->add_flag("--both", keygen_both, "Keys of both alphabets (default)");
  kt->excludes(kb, kboth);
  kb->excludes(kboth);
  keygen->add_flag("-f,--force", keygen_force, "Replace existing key files");
  keygen->add_option("--passphrase-file", keygen_passphrase_file, "Read the passphrase from the first line of FILE")
      ->type_name("FILE");
  keygen->add_option("DIR", keygen_dir, "Directory for the key files")->required()->type_name("");

  std::string scramble_file;
  int blocks = 1, size = 0;
  auto* scramble = app.add_subcommand("scramble", "Reverse FILE, or its first N blocks of S bytes, in place");
  scramble->add_option("FILE", scramble_file, "File to scramble (scrambling twice restores it)")->required()->type_name("");
  auto* blocks_option = scramble->add_option("--blocks", blocks, "Number of blocks (1: the whole file)")->type_name("N");
  auto* size_option = scramble->add_option("--size", size, "Block size in bytes, 1 to 5000")->type_name("S");
  blocks_option->needs(size_option);
  size_option->needs(blocks_option);

  std::string xscramble_file, xscramble_passphrase_file;
  auto* xscramble = app.add_subcommand("xscramble", "Reverse key-sized blocks of FILE in place");
  xscramble->add_option("FILE", xscramble_file, "File to scramble (the same passphrase again restores it)")
      ->required()
      ->type_name("");
  xscramble->add_option("--passphrase-file", xscramble_passphrase_file,
                        "Read the passphrase from the first line of FILE")
      ->type_name("FILE");

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
    const bool encrypting = encrypt->parsed();
    const CipherOptions& options = encrypting ? encrypt_options : decrypt_options;
    return options.string ? RunString(encrypting, options) : RunFile(encrypting, options);
  }
  if (keygen->parsed()) return RunKeygen(keygen_dir, keygen_text, keygen_binary, keygen_force, keygen_passphrase_file);
  if (scramble->parsed()) return RunScramble(scramble_file, blocks, size);
  if (xscramble->parsed()) return RunXScramble(xscramble_file, xscramble_passphrase_file);
  return RunWipe(wipe_files);
}
