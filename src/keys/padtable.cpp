// SPDX-License-Identifier: MIT
// The pad tables built from the pad key files.
#include "keys/padtable.hpp"

#include <algorithm>

#include "common/fields.hpp"
#include "common/wipe.hpp"

namespace tav {

bool BuildPadTable(const uint8_t* file, size_t size, PadTable& table) {
  int32_t fields[10];
  const bool complete = ReadTwoCharFields(file, size, fields, 10) == 10;
  if (complete) {
    std::copy(fields, fields + 10, &table[1]);
    ConvertKeys(table);
  }
  SecureZero(fields, sizeof fields);
  return complete;
}

namespace {

void ReverseFirstTen(PadTable& P) {
  for (int i = 1; i <= 5; ++i) std::swap(P[i], P[11 - i]);
}

int32_t SumFirstTen(const PadTable& P) {
  int32_t sum = 0;
  for (int i = 1; i <= 10; ++i) sum += P[i];
  return sum;
}

// Writes P[source] + add for each source of a run through the cursor.
struct Cursor {
  PadTable& P;
  int at = 501;
  void Run(int first, int last, int step, int32_t add) {
    for (int i = first; step > 0 ? i <= last : i >= last; i += step) P[at++] = P[i] + add;
  }
};

}  // namespace

void ConvertKeys(PadTable& P) {
  const auto Swap = [&P](int a, int b) { std::swap(P[a], P[b]); };
  std::fill(P.begin() + 11, P.end(), 0);
  Swap(1, 3);
  Swap(6, 8);
  int32_t a = (P[1] + P[2] + P[3]) / 3;
  for (int i : {1, 3, 5}) P[i] += a;
  for (int i : {4, 7, 9}) P[i] -= a;
  Swap(5, 10);
  Swap(7, 9);
  a = (P[4] + P[5] + P[6]) / 3;
  for (int i : {2, 6, 8}) P[i] += a;
  for (int i : {1, 7, 10}) P[i] -= a;
  ReverseFirstTen(P);
  a = SumFirstTen(P) / 10;
  for (int i : {1, 3, 5, 7, 9}) P[i] += a;
  for (int i : {2, 4, 6, 8}) P[i] -= a;
  for (int n = 1; n <= 10; ++n) P[10 + n] = P[n];
  ReverseFirstTen(P);
  a = SumFirstTen(P) / 10;
  for (int i : {1, 3, 5, 7, 9}) P[i] -= a;
  for (int i : {2, 4, 6, 8}) P[i] += a;
  constexpr int32_t kD[] = {2, -3, 4, -2, 3, -4, 2, -3, 4, -2};
  for (int n = 1; n <= 10; ++n) P[20 + n] = P[n] + kD[n - 1];
  for (int n = 1; n <= 10; ++n) P[30 + n] = P[3 * n - 2];
  // The test reads P[2] as it stands at each index.
  for (int i = 1; i <= 40; ++i) {
    if (P[i] < 2 && P[2] >= 0) P[i] = 2;
    if (P[i] < 0) P[i] = -P[i];
  }
  constexpr int kFrom[20] = {2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10};
  constexpr int32_t kAdd[20] = {2, 4, 6, 8, 10, 8, 6, 4, 2, 1, 3, 5, 7, 5, 3, 1, 5, 4, 2, 1};
  for (int n = 0; n < 20; ++n) P[41 + n] = P[kFrom[n]] + kAdd[n];
  for (int n = 1; n <= 40; ++n) P[60 + n] = P[9 + n] + P[n];
  for (int n = 1; n <= 100; ++n) P[100 + n] = P[101 - n];
  for (int n = 1; n <= 100; ++n) P[200 + n] = P[2 * n - 1];
  for (int n = 1; n <= 100; ++n) P[300 + n] = P[201 - 2 * n];
  for (int n = 1; n <= 100; ++n) P[400 + n] = P[3 * n - 2] + 2;

  Cursor c{P};
  for (int i = 500; i >= 1; --i) P[c.at++] = P[i] / 2;
  c.Run(1, 499, 2, 0);
  c.Run(500, 2, -2, 0);
  c.Run(1000, 5, -5, 3);
  c.Run(1500, 1200, -2, 2);
  c.Run(1000, 2000, 1, 2);
  c.Run(1, 1000, 3, 2);
  c.Run(1000, 1, -3, 2);
  c.Run(1, 991, 10, 1);
  c.Run(1001, 1991, 10, 2);
  c.Run(2001, 2991, 10, 3);
  c.Run(3001, 3991, 10, 2);
  c.Run(2000, 1000, -10, -2);
  c.Run(3000, 2000, -10, 3);
  c.Run(4001, 3001, -10, 2);
  c.Run(100, 4000, 100, 2);
  c.Run(3900, 100, -100, 3);
  c.Run(10, 4440, 10, 2);

  P[4998] = P[100] + P[1] + P[66];
  P[4999] = P[1000] + P[5] + P[660];
  P[5000] = P[2100] + P[10] + P[2660];
  for (int i = 1; i <= 5000; ++i) {
    if (P[i] < 0) P[i] = -P[i];
    if (P[i] == 0) P[i] = 15;
  }
  for (int n = 1; n <= 2500; ++n) P[5000 + n] = P[2 * n - 1];
  for (int n = 1; n <= 2500; ++n) P[7500 + n] = P[5002 - 2 * n];
  P[10000] = P[5000] + P[1];
  for (int n = 1; n <= 10000; ++n) P[10000 + n] = P[10001 - n] + 1;
}

}  // namespace tav
