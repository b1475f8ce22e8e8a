// SPDX-License-Identifier: MIT
// The master key schedule built at key generation.
#include "keygen/keygen.hpp"

namespace tav {

namespace {

struct Loop {
  bool forward;
  int first;  // forward loops: first source index
  int step;
  int bound;  // forward loops: fixed bound, or 0 for "entries written so far"
  int32_t add;
};

// The derivation loops: each visit of a source index i appends m[i] + add.
constexpr Loop kLoops[] = {
    {true, 1, 2, 10, 2},  {true, 2, 2, 10, 3}, {false, 0, 3, 0, 7},  {true, 1, 3, 0, 9},
    {true, 1, 5, 0, 13},  {false, 0, 5, 0, 17}, {true, 1, 7, 0, 4},  {false, 0, 7, 0, 6},
    {true, 1, 8, 0, 1},   {false, 0, 8, 0, 2}, {true, 1, 5, 0, 1},   {false, 0, 5, 0, 2},
};

}  // namespace

void GenerateMsterKeys(const char* seed, Schedule& m) {
  m.fill(0);
  for (int c = 0; c < 3; ++c) m[c + 1] = seed[c] == '0' ? 10 : static_cast<int8_t>(seed[c]);
  m[4] = m[1] + m[2] + m[3];
  m[5] = m[1] + m[2] + 2;
  m[6] = m[2] + m[3] + 3;
  m[7] = m[1] + m[3] + 4;
  m[8] = m[1] + 5;
  m[9] = m[2] + 5;
  m[10] = m[3] + 5;

  int f = 10;
  for (const Loop& loop : kLoops) {
    const int n = f;
    if (loop.forward) {
      const int bound = loop.bound != 0 ? loop.bound : n;
      for (int i = loop.first; i <= bound; i += loop.step) m[++f] = m[i] + loop.add;
    } else {
      for (int i = n; i > 0; i -= loop.step) m[++f] = m[i] + loop.add;
    }
  }
  // The last loop runs down to 2 but only fills the table up to entry 200.
  for (int i = f; i > 1 && f < 200; --i) m[++f] = m[i] + 1;

  for (int i = 1; i <= 200; ++i) {
    if (m[i] <= 9) m[i] += 10;
    if (m[i] > 50) m[i] -= 20;
  }
}

}  // namespace tav
