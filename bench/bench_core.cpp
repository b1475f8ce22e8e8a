// SPDX-License-Identifier: MIT
// The core interface with a key set made once: buffer calls next to the
// engine's own rate, per-call cost next to the string operations, streaming
// in 4 KiB chunks next to one-shot calls, and descriptors (pipes next to
// regular files). Each row names the variant it is compared with in the
// summary.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "bench_common.hpp"
#include "common/fileio.hpp"

namespace bench {
namespace {

using benchmark::State;

constexpr size_t kChunk = 4 * kKiB;
constexpr size_t kStreamSize = 1 * kMiB;  // plain bytes of the expanded rows: about 20 to 48 MB expanded
constexpr size_t kFdSize = 256 * kMiB;
constexpr size_t kPipeWrite = 1 * kMiB;
constexpr char kFdSource[] = "fd.bin";

const Bytes& DataOf(Kind kind) { return kind == Kind::text ? g_text_data : g_binary_data; }

// Block mode over `size` bytes of the data, in one call or in chunks with
// running offsets; in place or into a second buffer.
void BlockCall(State& state, Kind kind, size_t size, size_t chunk, bool in_place) {
  const tav_keys& keys = KeysOf(kind);
  Bytes in(DataOf(kind).begin(), DataOf(kind).begin() + static_cast<ptrdiff_t>(size));
  Bytes out(in_place ? 0 : size);
  uint8_t* dst = in_place ? in.data() : out.data();
  for (auto _ : state) {
    for (size_t at = 0; at < size; at += chunk) {
      const size_t n = std::min(chunk, size - at);
      const tav_status status = tav_block_encrypt(&keys, at, in.data() + at, dst + at, n);
      if (status != TAV_OK) {
        SkipWithCoreStatus(state, status);
        return;
      }
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// The expanded form of the first kStreamSize bytes of the binary data, made by
// the encoder row (or here, when that row did not run).
Bytes g_expanded;

tav_status Encode(const tav_keys& keys, const uint8_t* in, size_t size, size_t chunk, Bytes& out, size_t& written) {
  tav_encoder* encoder = nullptr;
  tav_status status = tav_encoder_new(&encoder, &keys, nullptr, nullptr);
  written = 0;
  for (size_t at = 0; status == TAV_OK && at < size; at += chunk) {
    const size_t n = std::min(chunk, size - at);
    size_t got = 0;
    status = tav_encoder_update(encoder, in + at, n, out.data() + written, out.size() - written, &got);
    written += got;
  }
  tav_encoder_free(encoder);
  return status;
}

// Rates count expanded bytes, as the expanded file rows do; "plain" counts
// plain bytes. The fillers come from the system's random source.
void EncoderRun(State& state, size_t chunk) {
  const tav_keys& keys = KeysOf(Kind::binary);
  uint64_t expanded = 0;
  if (tav_status status = tav_expanded_size(&keys, kStreamSize, &expanded); status != TAV_OK) {
    SkipWithCoreStatus(state, status);
    return;
  }
  Bytes out(expanded);
  for (auto _ : state) {
    size_t written = 0;
    const tav_status status = Encode(keys, g_binary_data.data(), kStreamSize, chunk, out, written);
    if (status != TAV_OK) {
      SkipWithCoreStatus(state, status);
      return;
    }
    if (written != expanded) {
      state.SkipWithError("encoder output differs from tav_expanded_size");
      return;
    }
  }
  g_expanded = std::move(out);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * expanded));
  state.counters["plain"] = benchmark::Counter(static_cast<double>(state.iterations() * kStreamSize),
                                               benchmark::Counter::kIsRate);
}

void DecoderRun(State& state, size_t chunk) {
  const tav_keys& keys = KeysOf(Kind::binary);
  if (g_expanded.empty()) {
    uint64_t expanded = 0;
    size_t written = 0;
    tav_status status = tav_expanded_size(&keys, kStreamSize, &expanded);
    if (status == TAV_OK) {
      g_expanded.resize(expanded);
      status = Encode(keys, g_binary_data.data(), kStreamSize, kStreamSize, g_expanded, written);
    }
    if (status != TAV_OK) {
      SkipWithCoreStatus(state, status);
      return;
    }
  }
  Bytes plain(kStreamSize);
  for (auto _ : state) {
    tav_decoder* decoder = nullptr;
    tav_status status = tav_decoder_new(&decoder, &keys);
    size_t total = 0;
    for (size_t at = 0; status == TAV_OK && at < g_expanded.size(); at += chunk) {
      const size_t n = std::min(chunk, g_expanded.size() - at);
      size_t got = 0;
      // Room for n bytes, as the call asks; the plain bytes are always fewer.
      if (plain.size() < total + n) plain.resize(total + n);
      status = tav_decoder_update(decoder, g_expanded.data() + at, n, plain.data() + total, &got);
      total += got;
    }
    tav_decoder_free(decoder);
    if (status != TAV_OK) {
      SkipWithCoreStatus(state, status);
      return;
    }
    if (total != kStreamSize || !std::equal(plain.begin(), plain.begin() + kStreamSize, g_binary_data.begin())) {
      state.SkipWithError("decoder did not give the plain bytes back");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_expanded.size()));
  state.counters["plain"] = benchmark::Counter(static_cast<double>(state.iterations() * kStreamSize),
                                               benchmark::Counter::kIsRate);
}

// The 256 MiB source of the descriptor rows, written at their first run.
bool MakeFdSource() {
  if (FileSize(kFdSource) == static_cast<int64_t>(kFdSize)) return true;
  const int fd = open(kFdSource, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0;
  for (size_t at = 0; ok && at < kFdSize; at += kEngineSize) ok = tav::io::WriteAll(fd, g_binary_data.data(), kEngineSize);
  if (fd >= 0 && close(fd) != 0) ok = false;
  return ok;
}

void FdFileToFile(State& state, int workers) {
  const Workers set(workers);
  if (!MakeFdSource()) {
    state.SkipWithError("could not write the source file");
    return;
  }
  const tav_keys& keys = KeysOf(Kind::binary);
  for (auto _ : state) {
    const int in = open(kFdSource, O_RDONLY | O_CLOEXEC);
    const int out = open(kOut, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int error = 0;
    const tav_status status =
        in >= 0 && out >= 0 ? tav_fd_encrypt(&keys, in, out, 0, nullptr, nullptr, &error) : TAV_BAD_SOURCE;
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    const int64_t written = TakeOutput(state);
    if (status != TAV_OK) {
      SkipWithCoreStatus(state, status);
      return;
    }
    if (written != static_cast<int64_t>(kFdSize)) {
      state.SkipWithError("destination size differs from the source");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFdSize));
}

// A writer thread feeds the input pipe from memory and a reader thread drains
// the output pipe, so that the row measures the library's side of the pipes.
void FdPipeToPipe(State& state) {
  const tav_keys& keys = KeysOf(Kind::binary);
  for (auto _ : state) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) Fail("pipe2");
    std::thread writer([fd = in[1]] {
      for (size_t at = 0; at < kFdSize; at += kPipeWrite) {
        if (!tav::io::WriteAll(fd, g_binary_data.data() + at % kEngineSize, kPipeWrite)) break;
      }
      close(fd);
    });
    uint64_t drained = 0;
    std::thread reader([fd = out[0], &drained] {
      static uint8_t sink[kPipeWrite];
      for (;;) {
        const ssize_t got = read(fd, sink, sizeof sink);
        if (got <= 0) break;
        drained += static_cast<uint64_t>(got);
      }
      close(fd);
    });
    int error = 0;
    const tav_status status = tav_fd_encrypt(&keys, in[0], out[1], 0, nullptr, nullptr, &error);
    // Closing the ends lets both threads finish whatever happened.
    close(in[0]);
    close(out[1]);
    writer.join();
    reader.join();
    if (status != TAV_OK) {
      SkipWithCoreStatus(state, status);
      return;
    }
    if (drained != kFdSize) {
      state.SkipWithError("the output pipe gave a different size");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFdSize));
}

}  // namespace

void RegisterCore() {
  using benchmark::kMicrosecond;
  using benchmark::kMillisecond;
  const std::string path = PathSuffix();

  // Buffer calls against the engine alone (CipherTransform rows).
  for (Kind kind : {Kind::text, Kind::binary}) {
    const std::string engine = std::string("CipherTransform:") + KindName(kind) + "-enc" + path;
    for (bool in_place : {false, true}) {
      const std::string name = std::string("tav_block_encrypt:") + KindName(kind) + (in_place ? "-inplace" : "") + path;
      Add(name, [=](State& s) { BlockCall(s, kind, kEngineSize, kEngineSize, in_place); })
          ->Unit(kMillisecond)->MinTime(0.5)->Repetitions(3);
      Compare(name, engine);
    }
  }

  // Streaming in 4 KiB pieces against one call.
  const std::string block_once = "tav_block_encrypt:binary" + path;
  const std::string block_chunks = "tav_block_encrypt:binary-4KiB-chunks" + path;
  Add(block_chunks, [](State& s) { BlockCall(s, Kind::binary, kEngineSize, kChunk, false); })
      ->Unit(kMillisecond)->MinTime(0.5)->Repetitions(3);
  Compare(block_chunks, block_once);

  // Per call, with the key set made once, against a string operation that
  // loads the key files each time.
  // (The TavTEnc row of 8191 bytes is the engine subject's.)
  for (size_t size : {size_t{64}, kStringSize}) {
    const std::string bytes = std::to_string(size) + "B";
    const std::string block = "tav_block_encrypt:text-" + bytes + path;
    const std::string string = size == kStringSize ? "TavTEnc" + path : "TavTEnc:" + bytes + path;
    Add(block, [=](State& s) { BlockCall(s, Kind::text, size, size, false); })
        ->Unit(kMicrosecond)->MinTime(0.3)->Repetitions(3);
    if (size != kStringSize) {
      Add(string, [=](State& s) { StringLoop(s, TavTEnc, g_text_string.substr(0, size)); })->Unit(kMicrosecond)->MinTime(0.3)->Repetitions(3);
    }
    Compare(block, string);
  }

  for (const char* op : {"tav_encoder_update", "tav_decoder_update"}) {
    const bool encode = std::string(op) == "tav_encoder_update";
    const std::string once = std::string(op) + ":binary-oneshot" + path;
    const std::string chunks = std::string(op) + ":binary-4KiB-chunks" + path;
    for (const auto& [name, chunk] : {std::pair{once, encode ? kStreamSize : SIZE_MAX}, std::pair{chunks, kChunk}}) {
      Add(name, [encode, chunk = chunk](State& s) { encode ? EncoderRun(s, chunk) : DecoderRun(s, chunk); })
          ->Unit(kMillisecond)->MinTime(0.5)->Repetitions(3);
    }
    Compare(chunks, once);
  }

  const std::string file_all = "tav_fd_encrypt:file-to-file" + path + WorkersName(0);
  const std::string file_one = "tav_fd_encrypt:file-to-file" + path + WorkersName(1);
  const std::string pipes = "tav_fd_encrypt:pipe-to-pipe" + path;
  Add(file_one, [](State& s) { FdFileToFile(s, 1); })->Unit(kMillisecond)->Iterations(2)->Repetitions(3);
  Add(file_all, [](State& s) { FdFileToFile(s, 0); })->Unit(kMillisecond)->Iterations(2)->Repetitions(3);
  Add(pipes, FdPipeToPipe)->Unit(kMillisecond)->Iterations(2)->Repetitions(3);
  Compare(pipes, file_all);
  Compare(pipes, file_one);
}

}  // namespace bench
