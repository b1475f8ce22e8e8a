// SPDX-License-Identifier: MIT
// The core interface: key sets against key generation, block mode at any
// offset and chunking, expanded streams against the file layout, descriptors
// and files, and many threads at once. Results are compared with the
// process-wide functions, which the conformance data pins.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/fileio.hpp"
#include "support.hpp"
#include "tavsdk.h"

namespace tav::test {
namespace {

namespace fs = std::filesystem;

struct Keys {
  tav_keys* k = nullptr;
  Keys() = default;
  Keys(tav_alphabet alphabet, const std::string& passphrase) {
    EXPECT_EQ(tav_keys_new(&k, alphabet, passphrase.data(), passphrase.size()), TAV_OK) << passphrase;
  }
  Keys(const Keys&) = delete;
  Keys& operator=(const Keys&) = delete;
  ~Keys() { tav_keys_free(k); }
};

std::string RandomPassphrase(std::mt19937& rng) {
  std::string s(1 + rng() % 30, ' ');
  for (char& c : s) c = static_cast<char>(1 + rng() % 255);
  return s;
}

// Deterministic filler bytes: a counter.
int CountingFill(void* context, void* buffer, size_t length) {
  auto& next = *static_cast<uint8_t*>(context);
  for (size_t i = 0; i < length; ++i) static_cast<uint8_t*>(buffer)[i] = next++;
  return 0;
}

int FailingFill(void*, void*, size_t) { return EIO; }

Bytes Block(const tav_keys* k, const Bytes& in, bool decrypt, uint64_t offset = 0) {
  Bytes out(in.size());
  EXPECT_EQ((decrypt ? tav_block_decrypt : tav_block_encrypt)(k, offset, in.data(), out.data(), in.size()), TAV_OK);
  return out;
}

// Expanded encoding in the given chunk sizes (cycled), then decoding in others.
Bytes Encode(tav_keys* k, const Bytes& plain, const std::vector<size_t>& chunks, uint8_t seed = 0) {
  tav_encoder* e = nullptr;
  EXPECT_EQ(tav_encoder_new(&e, k, CountingFill, &seed), TAV_OK);
  Bytes out;
  for (size_t at = 0, i = 0; at < plain.size(); ++i) {
    const size_t n = std::min(chunks[i % chunks.size()], plain.size() - at);
    const size_t need = tav_encoder_size(e, n);
    const size_t start = out.size();
    out.resize(start + need);
    size_t got = 0;
    EXPECT_EQ(tav_encoder_update(e, plain.data() + at, n, out.data() + start, need, &got), TAV_OK);
    EXPECT_EQ(got, need);
    at += n;
  }
  tav_encoder_free(e);
  return out;
}

Bytes Decode(tav_keys* k, const Bytes& expanded, const std::vector<size_t>& chunks) {
  tav_decoder* d = nullptr;
  EXPECT_EQ(tav_decoder_new(&d, k), TAV_OK);
  Bytes out;
  for (size_t at = 0, i = 0; at < expanded.size(); ++i) {
    const size_t n = std::min(chunks[i % chunks.size()], expanded.size() - at);
    Bytes piece(n);
    size_t got = 0;
    EXPECT_EQ(tav_decoder_update(d, expanded.data() + at, n, piece.data(), &got), TAV_OK);
    out.insert(out.end(), piece.begin(), piece.begin() + static_cast<ptrdiff_t>(got));
    at += n;
  }
  tav_decoder_free(d);
  return out;
}

std::vector<size_t> RandomChunks(std::mt19937& rng, size_t most) {
  std::vector<size_t> chunks(1 + rng() % 7);
  for (size_t& c : chunks) c = 1 + rng() % most;
  return chunks;
}

int Dir(const char* path) { return open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

std::vector<std::string> Entries(const std::string& dir = ".") {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CoreKeys, EqualTheFilesOfKeyGenerationForAnyPassphrase) {
  ScratchDir scratch;
  std::mt19937 rng(1);
  ASSERT_EQ(mkdir("saved", 0700), 0);
  const int saved = Dir("saved");
  for (int round = 0; round < 24; ++round) {
    const std::string passphrase = RandomPassphrase(rng);
    const bool text = round % 2 == 0;
    SCOPED_TRACE(testing::PrintToString(passphrase) + (text ? " text" : " binary"));
    ASSERT_EQ((text ? TavGenTextKeys : TavGenBinaryKeys)(passphrase.c_str()), 0);
    Keys keys(text ? TAV_TEXT : TAV_BINARY, passphrase);
    ASSERT_EQ(tav_keys_save(keys.k, saved, nullptr), TAV_OK);
    const std::string ext = text ? ".txt" : ".bin";
    for (const std::string& name : {"k1" + ext, "k2" + ext, "k3" + ext, "k4" + ext, "k5" + ext, std::string("k6.dat")}) {
      EXPECT_EQ(ReadFile("saved/" + name), ReadFile(name)) << name;
      struct stat st {};
      ASSERT_EQ(stat(("saved/" + name).c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    // And the same cipher as the process-wide string calls.
    std::string message = "message " + passphrase.substr(0, 5);
    const Bytes plain(message.begin(), message.end());
    char* result = (text ? TavTEnc : TavBEnc)(message.data());
    ASSERT_EQ(result, OutString);
    EXPECT_EQ(Block(keys.k, plain, false), Bytes(OutString, OutString + plain.size()));
  }
  close(saved);
}

TEST(CoreKeys, RefuseBadArgumentsAndCountEighteenBytes) {
  tav_keys* k = reinterpret_cast<tav_keys*>(1);
  EXPECT_EQ(tav_keys_new(&k, TAV_TEXT, "", 0), TAV_BAD_ARGUMENT);
  EXPECT_EQ(k, nullptr);
  EXPECT_EQ(tav_keys_new(&k, TAV_TEXT, "ab\0cd", 5), TAV_BAD_ARGUMENT);
  EXPECT_EQ(tav_keys_new(&k, TAV_TEXT, nullptr, 3), TAV_BAD_ARGUMENT);
  EXPECT_EQ(tav_keys_new(&k, static_cast<tav_alphabet>(3), "abc", 3), TAV_BAD_ARGUMENT);
  EXPECT_EQ(tav_keys_new(nullptr, TAV_TEXT, "abc", 3), TAV_BAD_ARGUMENT);
  EXPECT_EQ(tav_keys_alphabet(nullptr), 0);
  Keys a(TAV_BINARY, "abcdefghijklmnopqr"), b(TAV_BINARY, "abcdefghijklmnopqrSTUVWXYZ"), c(TAV_BINARY, "abcdefghijklmnopqs");
  const Bytes plain = RandomBytes(1000, 3);
  EXPECT_EQ(Block(a.k, plain, false), Block(b.k, plain, false));
  EXPECT_NE(Block(a.k, plain, false), Block(c.k, plain, false));
  EXPECT_EQ(tav_keys_alphabet(a.k), TAV_BINARY);
  // Distinct names for every status.
  std::vector<std::string> names;
  for (int s = TAV_OK; s <= TAV_COPY_KEPT; ++s) names.push_back(tav_strerror(s));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
  EXPECT_STREQ(tav_strerror(-1), "unknown status");
}

TEST(CoreKeys, LoadReadsKeyFilesByTheirRules) {
  ScratchDir scratch;
  Keys made(TAV_TEXT, "load me");
  const int dir = Dir(".");
  ASSERT_EQ(tav_keys_save(made.k, dir, nullptr), TAV_OK);
  const Bytes plain = RandomBytes(5000, 4);
  const Bytes want = Block(made.k, plain, false);
  const auto load = [&](const tav_keys* master, int* error = nullptr) {
    tav_keys* k = nullptr;
    if (tav_keys_load(&k, TAV_TEXT, dir, master, error) != TAV_OK) {
      EXPECT_EQ(k, nullptr);
    }
    return k;
  };
  tav_keys* loaded = load(made.k);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(Block(loaded, plain, false), want);
  uint64_t size = 0;
  EXPECT_EQ(tav_expanded_size(loaded, 10, &size), TAV_OK);
  tav_keys_free(loaded);
  // Without the master schedule the same files give other ciphertext.
  loaded = load(nullptr);
  EXPECT_NE(Block(loaded, plain, false), want);
  tav_keys_free(loaded);
  // k5 is optional until an expanded call needs it.
  ASSERT_EQ(unlink("k5.txt"), 0);
  loaded = load(made.k);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(tav_expanded_size(loaded, 10, &size), TAV_NO_KEYS);
  tav_encoder* e = nullptr;
  EXPECT_EQ(tav_encoder_new(&e, loaded, nullptr, nullptr), TAV_NO_KEYS);
  EXPECT_EQ(tav_fd_encrypt(loaded, 0, 1, TAV_EXPANDED, nullptr, nullptr, nullptr), TAV_NO_KEYS);
  tav_keys_free(loaded);
  // A damaged k4 refuses; a missing one gives the built-in steps, as ever.
  ASSERT_EQ(unlink("k4.txt"), 0);
  ASSERT_EQ(mkdir("k4.txt", 0700), 0);
  int error = -1;
  EXPECT_EQ(load(made.k, &error), nullptr);
  ASSERT_EQ(rmdir("k4.txt"), 0);
  ASSERT_EQ(TavGenTextKeys("load me"), 0);
  ASSERT_EQ(unlink("k4.txt"), 0);
  loaded = load(made.k);
  std::string message(plain.begin(), plain.begin() + 100);
  std::replace(message.begin(), message.end(), '\0', 'x');
  const Bytes text(message.begin(), message.end());
  ASSERT_EQ(TavTEnc(message.data()), OutString);
  EXPECT_EQ(Block(loaded, text, false), Bytes(OutString, OutString + text.size()));
  tav_keys_free(loaded);
  ASSERT_EQ(unlink("k1.txt"), 0);
  EXPECT_EQ(load(made.k, &error), nullptr);
  EXPECT_EQ(error, ENOENT);
  close(dir);
}

using FileMap = std::map<std::string, Bytes>;

// Key files from memory through the caller's entries, which point into `files`.
tav_status FromMemory(tav_keys** k, int alphabet, const FileMap& files, const tav_keys* master) {
  std::vector<tav_key_file> entries;
  for (const auto& [name, data] : files) entries.push_back({name.c_str(), data.data(), data.size()});
  return tav_keys_from_files(k, alphabet, entries.data(), entries.size(), master);
}

FileMap FilesIn(const std::string& dir) {
  FileMap files;
  for (const auto& e : fs::directory_iterator(dir)) files[e.path().filename()] = ReadFile(e.path());
  return files;
}

// Every conformance key set from memory (its folder's other files ignored)
// gives the conformance ciphertext, and lists the files it was made from.
TEST(CoreKeys, FilesInMemoryGiveTheConformanceCiphertexts) {
  const std::string vectors = VectorsDir();
  for (const auto& e : fs::directory_iterator(vectors + "/files")) {
    const std::string file = e.path().stem();
    if (e.path().extension() != ".plain") continue;
    SCOPED_TRACE(file);
    const std::string set = file.substr(0, file.find('-'));
    const int alphabet = file.find("-text-") != std::string::npos ? TAV_TEXT : TAV_BINARY;
    const FileMap files = FilesIn(vectors + "/keys/" + set + (alphabet == TAV_TEXT ? "/text" : "/binary"));
    const Bytes phrase = ReadFile(vectors + "/keys/" + set + "/passphrase");
    const Keys master(TAV_BINARY, {phrase.begin(), phrase.end()});
    Keys from_memory;
    ASSERT_EQ(FromMemory(&from_memory.k, alphabet, files, master.k), TAV_OK);
    std::array<tav_key_file, TAV_KEY_FILES_MAX> out{};
    size_t count = 0;
    ASSERT_EQ(tav_keys_files(from_memory.k, out.data(), out.size(), &count), TAV_OK);
    ASSERT_EQ(count, out.size());
    for (const tav_key_file& f : out) EXPECT_EQ(std::string(static_cast<const char*>(f.data), f.size),
                                                std::string(files.at(f.name).begin(), files.at(f.name).end()));
    EXPECT_EQ(Block(from_memory.k, ReadFile(e.path()), false), ReadFile(vectors + "/files/" + file + ".cipher"));
  }
}

// The same files from memory and from a directory: the same status, and
// for the sets made the same cipher and the same pad table (or none).
TEST(CoreKeys, FilesInMemoryAreTakenAndRefusedAsInADirectory) {
  ScratchDir scratch;
  Keys made(TAV_BINARY, "memory");
  const int dir = Dir(".");
  ASSERT_EQ(tav_keys_save(made.k, dir, nullptr), TAV_OK);
  close(dir);
  const FileMap saved = FilesIn(".");
  const Bytes plain = RandomBytes(3000, 9);
  const std::tuple<const char*, std::function<void(FileMap&)>, tav_status> cases[] = {
      {"all files", [](FileMap&) {}, TAV_OK},
      {"no k1", [](FileMap& f) { f.erase("k1.bin"); }, TAV_NO_KEYS},
      {"k1 a byte short", [](FileMap& f) { f["k1.bin"].pop_back(); }, TAV_NO_KEYS},
      {"k1 a byte long", [](FileMap& f) { f["k1.bin"].push_back(0); }, TAV_OK},
      {"k1 no permutation", [](FileMap& f) { f["k1.bin"][1] = f["k1.bin"][0]; }, TAV_NO_KEYS},
      {"no k3 and k4", [](FileMap& f) { f.erase("k3.bin"), f.erase("k4.bin"); }, TAV_OK},
      {"no k5", [](FileMap& f) { f.erase("k5.bin"); }, TAV_OK},
      {"k5 short", [](FileMap& f) { f["k5.bin"].resize(5); }, TAV_OK},
      {"other names too", [](FileMap& f) { f["k1.txt"] = {1}, f["notes"] = {2}, f["K1.bin"] = {3}; }, TAV_OK},
      {"other names only", [](FileMap& f) { f = {{"k1.txt", {1}}, {"K1.bin", f["k1.bin"]}}; }, TAV_NO_KEYS},
  };
  for (const auto& [what, change, expected] : cases) {
    SCOPED_TRACE(what);
    FileMap files = saved;
    change(files);
    ASSERT_EQ(mkdir("case", 0700), 0);
    for (const auto& [name, data] : files) WriteFile("case/" + name, data);
    const int case_dir = Dir("case");
    tav_keys *loaded = nullptr, *from_memory = nullptr;
    EXPECT_EQ(tav_keys_load(&loaded, TAV_BINARY, case_dir, made.k, nullptr), expected);
    close(case_dir);
    fs::remove_all("case");
    EXPECT_EQ(FromMemory(&from_memory, TAV_BINARY, files, made.k), expected);
    if (loaded != nullptr && from_memory != nullptr) {
      EXPECT_EQ(Block(from_memory, plain, false), Block(loaded, plain, false));
      uint64_t size = 0;
      EXPECT_EQ(tav_expanded_size(from_memory, 10, &size), tav_expanded_size(loaded, 10, &size));
    }
    tav_keys_free(loaded);
    tav_keys_free(from_memory);
  }
  // Entries that point nowhere, and a name the loader reads given twice.
  const tav_key_file k1{"k1.bin", saved.at("k1.bin").data(), saved.at("k1.bin").size()};
  const tav_key_file no_name{nullptr, "x", 1}, no_data{"k3.bin", nullptr, 1}, empty{"k1.bin", nullptr, 0};
  const tav_key_file twice[] = {k1, k1};
  const std::tuple<const tav_key_file*, size_t, int, tav_status> refusals[] = {
      {nullptr, 1, TAV_BINARY, TAV_BAD_ARGUMENT}, {&no_name, 1, TAV_BINARY, TAV_BAD_ARGUMENT},
      {&no_data, 1, TAV_BINARY, TAV_BAD_ARGUMENT}, {twice, 2, TAV_BINARY, TAV_BAD_ARGUMENT},
      {&k1, 1, 3, TAV_BAD_ARGUMENT}, {nullptr, 0, TAV_BINARY, TAV_NO_KEYS}, {&empty, 1, TAV_BINARY, TAV_NO_KEYS},
      {&k1, 1, TAV_BINARY, TAV_OK}};
  for (size_t row = 0; row < std::size(refusals); ++row) {
    const auto& [files, count, alphabet, status] = refusals[row];
    tav_keys* k = made.k;
    EXPECT_EQ(tav_keys_from_files(&k, alphabet, files, count, nullptr), status) << "row " << row;
    EXPECT_EQ(k == nullptr, status != TAV_OK);
    if (k != made.k) tav_keys_free(k);
  }
  EXPECT_EQ(tav_keys_from_files(nullptr, TAV_BINARY, &k1, 1, nullptr), TAV_BAD_ARGUMENT);
  // The list says how many files there are even when they do not fit.
  std::array<tav_key_file, TAV_KEY_FILES_MAX> out{};
  size_t count = 0;
  EXPECT_EQ(tav_keys_files(made.k, out.data(), out.size() - 1, &count), TAV_BAD_ARGUMENT);
  EXPECT_EQ(count, out.size());
  EXPECT_EQ(out[0].name, nullptr);
  EXPECT_EQ(tav_keys_files(nullptr, out.data(), out.size(), &count), TAV_BAD_ARGUMENT);
  EXPECT_EQ(tav_keys_files(made.k, out.data(), out.size(), nullptr), TAV_BAD_ARGUMENT);
}

// Any cut of a message into pieces, each passed with its offset, in any
// order and in place or not, gives the bytes of the whole.
TEST(CoreBlock, AnyChunkingAndStartGivesTheWholeMessage) {
  std::mt19937 rng(5);
  for (tav_alphabet alphabet : {TAV_TEXT, TAV_BINARY}) {
    Keys keys(alphabet, "chunks " + std::to_string(alphabet));
    for (int round = 0; round < 12; ++round) {
      const Bytes plain = RandomBytes(rng() % 30000, static_cast<uint32_t>(round));
      const uint64_t start = round % 3 == 0 ? 0 : rng() % 2000000;
      const Bytes whole = Block(keys.k, plain, false, start);
      Bytes pieces(plain.size());
      std::vector<std::pair<size_t, size_t>> cuts;
      for (size_t at = 0; at < plain.size();) {
        const size_t n = std::min<size_t>(plain.size() - at, rng() % 700);
        cuts.emplace_back(at, n);
        at += n;
      }
      std::shuffle(cuts.begin(), cuts.end(), rng);
      for (auto [at, n] : cuts) {
        std::memcpy(pieces.data() + at, plain.data() + at, n);
        ASSERT_EQ(tav_block_encrypt(keys.k, start + at, pieces.data() + at, pieces.data() + at, n), TAV_OK);
      }
      EXPECT_EQ(pieces, whole) << "start " << start;
      EXPECT_EQ(Block(keys.k, whole, true, start), plain);
    }
    EXPECT_EQ(tav_block_encrypt(keys.k, 7, nullptr, nullptr, 0), TAV_OK);
    EXPECT_EQ(tav_block_encrypt(keys.k, 7, nullptr, nullptr, 1), TAV_BAD_ARGUMENT);
    EXPECT_EQ(tav_block_encrypt(nullptr, 7, "a", nullptr, 0), TAV_BAD_ARGUMENT);
  }
}

// The encoder's units are the file layout: its ciphertext bytes at the unit
// starts decode like an expanded file of the process-wide functions, for any
// chunking on either side.
TEST(CoreExpanded, StreamsMatchTheFileLayoutForAnyChunking) {
  ScratchDir scratch;
  std::mt19937 rng(6);
  for (tav_alphabet alphabet : {TAV_TEXT, TAV_BINARY}) {
    const std::string passphrase = "expanded stream";
    ASSERT_EQ((alphabet == TAV_TEXT ? TavGenTextKeys : TavGenBinaryKeys)(passphrase.c_str()), 0);
    Keys keys(alphabet, passphrase);
    const Bytes plain = RandomBytes(21000, 7);  // wraps the pad table
    WriteFile("plain", plain);
    ASSERT_EQ((alphabet == TAV_TEXT ? TavTExpandFileEnc : TavBExpandFileEnc)("plain", "file"), 0);
    const Bytes file = ReadFile("file");
    const Bytes one = Encode(keys.k, plain, {plain.size()});
    uint64_t size = 0;
    ASSERT_EQ(tav_expanded_size(keys.k, plain.size(), &size), TAV_OK);
    EXPECT_EQ(one.size(), size);
    EXPECT_EQ(file.size(), size);
    EXPECT_EQ(Decode(keys.k, file, {file.size()}), plain);
    for (int round = 0; round < 4; ++round) {
      // Fillers differ with the chunking (text fillers are drawn word-wise);
      // the units stand where they stood.
      const Bytes chunked = Encode(keys.k, plain, RandomChunks(rng, 5000));
      EXPECT_EQ(chunked.size(), one.size());
      EXPECT_EQ(Decode(keys.k, chunked, {chunked.size()}), plain);
      EXPECT_EQ(Decode(keys.k, one, RandomChunks(rng, 3000)), plain);
      // Cut inside a filler run: every unit whose first byte is there.
      const size_t cut = one.size() - 1 - rng() % 100;
      const Bytes head = Decode(keys.k, Bytes(one.begin(), one.begin() + static_cast<ptrdiff_t>(cut)), RandomChunks(rng, 999));
      EXPECT_EQ(head, Bytes(plain.begin(), plain.begin() + static_cast<ptrdiff_t>(head.size())));
      EXPECT_GT(head.size() + 2, plain.size() - 100 / 2);
    }
    // Text fillers are text symbols, like the ciphertext of text symbols.
    if (alphabet == TAV_TEXT) {
      Bytes symbols(5000);
      for (size_t i = 0; i < symbols.size(); ++i) symbols[i] = kTextAlphabet[plain[i] % 151];
      for (uint8_t b : Encode(keys.k, symbols, {777}))
        ASSERT_NE(std::find(kTextAlphabet.begin(), kTextAlphabet.end(), b), kTextAlphabet.end()) << int(b);
    }
    // Too little room consumes nothing; a failing filler source fails.
    tav_encoder* e = nullptr;
    ASSERT_EQ(tav_encoder_new(&e, keys.k, FailingFill, nullptr), TAV_OK);
    Bytes out(tav_encoder_size(e, 10));
    size_t got = 1;
    EXPECT_EQ(tav_encoder_update(e, plain.data(), 10, out.data(), out.size() - 1, &got), TAV_BAD_ARGUMENT);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(tav_encoder_update(e, plain.data(), 10, out.data(), out.size(), &got), TAV_BAD_SOURCE);
    tav_encoder_free(e);
  }
}

// The default filler source in one call.
Bytes EncodeWithDefaultFillers(tav_keys* k, const Bytes& plain) {
  tav_encoder* e = nullptr;
  EXPECT_EQ(tav_encoder_new(&e, k, nullptr, nullptr), TAV_OK);
  Bytes out(tav_encoder_size(e, plain.size()));
  size_t got = 0;
  EXPECT_EQ(tav_encoder_update(e, plain.data(), plain.size(), out.data(), out.size(), &got), TAV_OK);
  tav_encoder_free(e);
  return out;
}

// A generator whose state a forked child inherits must not hand parent and
// child the same fillers; the parent draws first, so that there is a state
// to inherit. Only the unit starts and chance (1 in 151 or 256) may agree.
TEST(CoreExpanded, ForkedChildDrawsOtherFillers) {
  const Bytes plain = RandomBytes(4000, 12);
  for (tav_alphabet alphabet : {TAV_TEXT, TAV_BINARY}) {
    Keys keys(alphabet, "forked fillers");
    (void)EncodeWithDefaultFillers(keys.k, plain);
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const Bytes out = EncodeWithDefaultFillers(keys.k, plain);
      _exit(io::WriteAll(fds[1], out.data(), out.size()) ? 0 : 1);
    }
    close(fds[1]);
    const Bytes mine = EncodeWithDefaultFillers(keys.k, plain);
    Bytes theirs(mine.size() + 1);
    size_t got = 0;
    for (ssize_t n; (n = read(fds[0], theirs.data() + got, theirs.size() - got)) > 0;) got += static_cast<size_t>(n);
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(got, mine.size());
    size_t same = 0;
    for (size_t i = 0; i < got; ++i) same += mine[i] == theirs[i];
    EXPECT_LT(same, got / 10) << (alphabet == TAV_TEXT ? "text" : "binary");
  }
}

// Feeds `in` into a pipe and collects what comes out of another, while the
// call runs between them.
Bytes ThroughPipes(const Bytes& in, const std::function<tav_status(int, int)>& call, tav_status want = TAV_OK) {
  int a[2], b[2];
  EXPECT_EQ(pipe2(a, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(b, O_CLOEXEC | O_NONBLOCK), 0);  // a non-blocking output is waited for
  std::thread writer([&] {
    (void)io::WriteAll(a[1], in.data(), in.size());
    close(a[1]);
  });
  Bytes out;
  std::thread reader([&] {
    uint8_t buf[65536];
    fcntl(b[0], F_SETFL, 0);
    for (ssize_t n; (n = read(b[0], buf, sizeof buf)) > 0;) out.insert(out.end(), buf, buf + n);
  });
  EXPECT_EQ(call(a[0], b[1]), want);
  close(b[1]);
  writer.join();
  reader.join();
  close(a[0]);
  close(b[0]);
  return out;
}

struct Progress {
  int calls = 0;
  uint64_t done = 0, total = 0;
  int stop_at = -1;  // the call that asks to stop
};

int Record(void* context, uint64_t done, uint64_t total) {
  auto& p = *static_cast<Progress*>(context);
  p.done = done;
  p.total = total;
  return p.calls++ == p.stop_at ? 1 : 0;
}

TEST(CoreDescriptors, PipesGiveTheBytesOfFiles) {
  ScratchDir scratch;
  ResetFlags();
  ASSERT_EQ(TavGenBinaryKeys("descriptors"), 0);
  Keys keys(TAV_BINARY, "descriptors");
  const Bytes plain = RandomBytes((size_t{5} << 20) + 333, 8);  // split among workers as a file
  WriteFile("plain", plain);
  for (unsigned flags : {0u, unsigned{TAV_EXPANDED}}) {
    SCOPED_TRACE(flags);
    ASSERT_EQ((flags ? TavBExpandFileEnc : TavBinaryFileEnc)("plain", "file"), 0);
    const Bytes file = ReadFile("file");
    const Bytes piped = ThroughPipes(plain, [&](int in, int out) {
      return tav_fd_encrypt(keys.k, in, out, flags, nullptr, nullptr, nullptr);
    });
    if (flags == 0) {
      EXPECT_EQ(piped, file);
    }
    EXPECT_EQ(piped.size(), file.size());
    EXPECT_EQ(ThroughPipes(piped, [&](int in, int out) {
                return tav_fd_decrypt(keys.k, in, out, flags, nullptr, nullptr, nullptr);
              }),
              plain);
    // File to file, with worker threads, from and to the descriptors' offsets.
    const int in = open("file", O_RDONLY | O_CLOEXEC);
    const int out = open("back", O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_TRUE(in >= 0 && out >= 0);
    ASSERT_EQ(write(out, "head", 4), 4);
    ASSERT_EQ(tav_fd_decrypt(keys.k, in, out, flags, nullptr, nullptr, nullptr), TAV_OK);
    EXPECT_EQ(lseek(in, 0, SEEK_CUR), static_cast<off_t>(file.size()));
    EXPECT_EQ(lseek(out, 0, SEEK_CUR), static_cast<off_t>(plain.size() + 4));
    close(in);
    close(out);
    Bytes want = {'h', 'e', 'a', 'd'};
    want.insert(want.end(), plain.begin(), plain.end());
    EXPECT_EQ(ReadFile("back"), want);
  }
  // Streams shared among threads and kept on one give the same bytes, and
  // stop on a reader that went away or a progress callback that says so.
  for (const char* threads : {"1", "2", "3"}) {
    setenv("TAVSDK_THREADS", threads, 1);
    EXPECT_EQ(ThroughPipes(plain, [&](int in, int out) {
                return tav_fd_encrypt(keys.k, in, out, 0, nullptr, nullptr, nullptr);
              }),
              Block(keys.k, plain, false))
        << threads;
  }
  unsetenv("TAVSDK_THREADS");
  {
    int a[2], b[2];
    ASSERT_EQ(pipe2(a, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(b, O_CLOEXEC), 0);
    close(b[0]);
    std::thread writer([&] {
      (void)io::WriteAll(a[1], plain.data(), plain.size());
      close(a[1]);
    });
    const auto old = signal(SIGPIPE, SIG_IGN);
    int error = 0;
    EXPECT_EQ(tav_fd_encrypt(keys.k, a[0], b[1], 0, nullptr, nullptr, &error), TAV_BAD_DEST);
    EXPECT_EQ(error, EPIPE);
    close(a[0]);  // the writer may still be blocked on a full pipe
    writer.join();
    close(b[1]);
    signal(SIGPIPE, old);
  }
  Progress stop;
  stop.stop_at = 0;
  ThroughPipes(plain, [&](int in, int out) {
    // Drain what is left so that the writer can finish.
    const tav_status s = tav_fd_encrypt(keys.k, in, out, 0, Record, &stop, nullptr);
    uint8_t sink[65536];
    while (read(in, sink, sizeof sink) > 0) {
    }
    return s;
  }, TAV_CANCELLED);
  EXPECT_EQ(tav_fd_encrypt(keys.k, 0, 1, TAV_REPLACE, nullptr, nullptr, nullptr), TAV_BAD_ARGUMENT);
  int error = 0;
  EXPECT_EQ(tav_fd_encrypt(keys.k, 12345, 1, 0, nullptr, nullptr, &error), TAV_BAD_SOURCE);
  EXPECT_EQ(error, EBADF);
}

TEST(CoreFiles, ProgressCancelReplaceAndRefusals) {
  ScratchDir scratch;
  Keys keys(TAV_TEXT, "files at");
  ASSERT_EQ(mkdir("sub", 0700), 0);
  const int sub = Dir("sub");
  const Bytes plain = RandomBytes(size_t{9} << 20, 9);
  WriteFile("sub/plain", plain);
  ASSERT_EQ(chmod("sub/plain", 0640), 0);
  Progress p;
  ASSERT_EQ(tav_file_encrypt_at(keys.k, sub, "plain", AT_FDCWD, "out", TAV_SOURCE_MODE, Record, &p, nullptr), TAV_OK);
  EXPECT_GE(p.calls, 1);
  EXPECT_EQ(p.done, plain.size());
  EXPECT_EQ(p.total, plain.size());
  EXPECT_EQ(ReadFile("out"), Block(keys.k, plain, false));
  struct stat st {};
  ASSERT_EQ(stat("out", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  const Bytes old = ReadFile("out");
  const auto before = Entries();
  // An existing destination: refused without TAV_REPLACE, replaced with it.
  int error = 0;
  EXPECT_EQ(tav_file_decrypt_at(keys.k, AT_FDCWD, "out", AT_FDCWD, "out2", 0, nullptr, nullptr, nullptr), TAV_OK);
  EXPECT_EQ(tav_file_decrypt_at(keys.k, AT_FDCWD, "out", AT_FDCWD, "out2", 0, nullptr, nullptr, &error), TAV_EXISTS);
  EXPECT_EQ(error, EEXIST);
  // Cancelled on the first report: no trace of the output, the old file whole.
  for (int workers : {1, 2}) {
    setenv("TAVSDK_THREADS", std::to_string(workers).c_str(), 1);
    Progress stop;
    stop.stop_at = 0;
    EXPECT_EQ(tav_file_encrypt_at(keys.k, sub, "plain", AT_FDCWD, "out", TAV_REPLACE, Record, &stop, nullptr),
              TAV_CANCELLED);
    EXPECT_EQ(ReadFile("out"), old);
  }
  unsetenv("TAVSDK_THREADS");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"out", "out2", "sub"}));
  EXPECT_EQ(before, (std::vector<std::string>{"out", "sub"}));
  ASSERT_EQ(tav_file_encrypt_at(keys.k, AT_FDCWD, "out2", AT_FDCWD, "out", TAV_REPLACE, nullptr, nullptr, nullptr),
            TAV_OK);
  EXPECT_EQ(ReadFile("out"), old);
  // Refusals, each with its reason.
  struct Case {
    const char* source;
    const char* dest;
    tav_status want;
    int error;
  } cases[] = {
      {"missing", "x", TAV_BAD_SOURCE, ENOENT}, {"sub", "x", TAV_BAD_SOURCE, EINVAL},
      {"out", "out", TAV_BAD_DEST, 0},          {"out", "sub", TAV_BAD_DEST, EISDIR},
      {"out", "nodir/x", TAV_BAD_DEST, ENOENT}, {"out", "devnull", TAV_BAD_DEST, 0},
  };
  ASSERT_EQ(symlink("/dev/null", "devnull"), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.source) + " -> " + c.dest);
    error = -1;
    EXPECT_EQ(tav_file_encrypt_at(keys.k, AT_FDCWD, c.source, AT_FDCWD, c.dest, TAV_REPLACE, nullptr, nullptr, &error),
              c.want);
    EXPECT_EQ(error, c.error);
  }
  EXPECT_EQ(tav_file_encrypt_at(keys.k, AT_FDCWD, "out", AT_FDCWD, "x", 0x100, nullptr, nullptr, nullptr),
            TAV_BAD_ARGUMENT);
  close(sub);
}

// SIGKILL at random points of an atomic replace: the destination is always
// the old file or the complete new one. No call links a finished unnamed file
// over a name, so a kill between its link to a hidden name and the rename
// leaves that name, holding the whole new file; where the file system has no
// unnamed files, the hidden name exists from the start and may be partial.
TEST(CoreFiles, ReplaceSurvivesSigkillAnywhere) {
  ScratchDir scratch;
  const int probe = open(".", O_TMPFILE | O_RDWR, 0600);
  const bool unnamed = probe >= 0;
  if (unnamed) close(probe);
  Keys keys(TAV_BINARY, "kill me");
  const Bytes plain = RandomBytes(size_t{24} << 20, 10);
  WriteFile("plain", plain);
  const Bytes old = {'o', 'l', 'd'};
  const Bytes done = Block(keys.k, plain, false);
  std::mt19937 rng(11);
  int replaced = 0;
  for (int round = 0; round < 12; ++round) {
    WriteFile("out", old);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      _exit(tav_file_encrypt_at(keys.k, AT_FDCWD, "plain", AT_FDCWD, "out", TAV_REPLACE, nullptr, nullptr, nullptr));
    }
    usleep(static_cast<useconds_t>(rng() % 150000));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const Bytes now = ReadFile("out");
    EXPECT_TRUE(now == old || now == done) << "round " << round << ": " << now.size() << " bytes";
    replaced += now == done;
    for (const std::string& name : Entries()) {
      if (name == "out" || name == "plain") continue;
      EXPECT_EQ(name.rfind(".tav-", 0), 0u) << name;
      if (unnamed) {
        EXPECT_TRUE(ReadFile(name) == done) << "round " << round << ": partial " << name;
      }
      ASSERT_EQ(unlink(name.c_str()), 0);
    }
  }
  RecordProperty("replaced", replaced);
}

// Eight threads, each with its own passphrase and alphabet, through key sets,
// buffers, streams and descriptors at once; each result as one thread alone
// makes it.
TEST(CoreThreads, EightThreadsGiveTheBytesOfOne) {
  constexpr int kThreads = 8;
  const Bytes plain = RandomBytes(300000, 12);
  struct Result {
    Bytes block, expanded, piped;
  };
  const auto work = [&](int t) {
    Result r;
    const tav_alphabet alphabet = t % 2 ? TAV_BINARY : TAV_TEXT;
    Keys keys(alphabet, "thread " + std::to_string(t));
    r.block = Block(keys.k, plain, false, static_cast<uint64_t>(t) * 1000);
    r.expanded = Encode(keys.k, plain, {4096, 999}, static_cast<uint8_t>(t));
    EXPECT_EQ(Decode(keys.k, r.expanded, {7777}), plain);
    r.piped = ThroughPipes(plain, [&](int in, int out) {
      return tav_fd_encrypt(keys.k, in, out, 0, nullptr, nullptr, nullptr);
    });
    return r;
  };
  std::vector<Result> alone(kThreads), together(kThreads);
  for (int t = 0; t < kThreads; ++t) alone[t] = work(t);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back([&, t] { together[t] = work(t); });
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(together[t].block, alone[t].block) << t;
    EXPECT_EQ(together[t].expanded, alone[t].expanded) << t;
    EXPECT_EQ(together[t].piped, alone[t].piped) << t;
  }
  // One key set shared by all threads, on pieces of one message.
  Keys shared(TAV_BINARY, "shared");
  const Bytes whole = Block(shared.k, plain, false);
  Bytes pieces = plain;
  threads.clear();
  const size_t step = plain.size() / kThreads + 1;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const size_t at = std::min(plain.size(), static_cast<size_t>(t) * step);
      const size_t n = std::min(step, plain.size() - at);
      EXPECT_EQ(tav_block_encrypt(shared.k, at, pieces.data() + at, pieces.data() + at, n), TAV_OK);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(pieces, whole);
}

TEST(CoreScramblers, CopyKeptBesideTheFileAndWipeOnAFullDisk) {
  ScratchDir scratch;
  ASSERT_EQ(mkdir("d", 0700), 0);
  const Bytes original = RandomBytes(3 << 20, 13);
  WriteFile("d/f", original);
  const Bytes reversed(original.rbegin(), original.rend());
  ASSERT_EQ(tav_scramble_at(AT_FDCWD, "d/f", 1, 0, nullptr), TAV_OK);
  EXPECT_EQ(ReadFile("d/f"), reversed);
  EXPECT_EQ(Entries("d"), std::vector<std::string>{"f"});
  {
    static int file_fd = -1;
    file_fd = open("d/f", O_RDONLY | O_CLOEXEC);
    struct stat want {};
    fstat(file_fd, &want);
    // Every write to the file itself fails once the copy is complete.
    io::step_hook = [](io::Step step, int fd) {
      struct stat a {}, b {};
      return step == io::Step::write && fstat(fd, &a) == 0 && fstat(file_fd, &b) == 0 && a.st_ino == b.st_ino ? EIO : 0;
    };
    int error = 0;
    EXPECT_EQ(tav_scramble_at(AT_FDCWD, "d/f", 1, 0, &error), TAV_COPY_KEPT);
    EXPECT_EQ(error, EIO);
    io::step_hook = nullptr;
    close(file_fd);
  }
  EXPECT_EQ(ReadFile("d/f.reversed"), original);
  // The variable-block scrambler with a key set's k6.dat table.
  Keys keys(TAV_BINARY, "scramble at");
  const int dir = Dir(".");
  ASSERT_EQ(tav_keys_save(keys.k, dir, nullptr), TAV_OK);
  WriteFile("g", original);
  ASSERT_EQ(TavXScrambleFile("g"), 0);
  ASSERT_EQ(tav_xscramble_at(keys.k, dir, "d/f.reversed", nullptr), TAV_OK);
  EXPECT_EQ(ReadFile("d/f.reversed"), ReadFile("g"));
  EXPECT_EQ(tav_xscramble_at(nullptr, dir, "g", nullptr), TAV_BAD_ARGUMENT);
  close(dir);
  // A wipe whose passes cannot grow the file past its own bytes (a full file
  // system) still overwrites them all and removes the file.
  for (bool core : {false, true}) {
    WriteFile("w", RandomBytes(10000, 14));
    ASSERT_EQ(link("w", "peer"), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{10000, 10000};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(100);
      _exit(core ? tav_wipe_at(AT_FDCWD, "w", nullptr) : TavKillFile("w"));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << core;
    EXPECT_FALSE(Exists("w"));
    EXPECT_EQ(ReadFile("peer"), Bytes(10000, '`'));
    ASSERT_EQ(unlink("peer"), 0);
  }
}

}  // namespace
}  // namespace tav::test
