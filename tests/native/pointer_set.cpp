// The extension's pointer set (pyvessaruntime/common/pointer_set.hpp) against std::unordered_set,
// over random insertions, removals and look-ups of addresses packed close together, as the
// key objects of pending operations are (tests/test_native.py builds and runs this program).
// Prints the first difference and exits with 1, or exits with 0.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <unordered_set>
#include <vector>

#include "common/pointer_set.hpp"

namespace {

int failures = 0;

void expect(bool condition, const char* what, uintptr_t address, long step) {
  if (condition || failures++) return;
  std::printf("step %ld, address %#llx: %s\n", step, static_cast<unsigned long long>(address),
              what);
}

}  // namespace

int main() {
  pvr::PointerSet set;
  std::unordered_set<uintptr_t> model;
  std::mt19937_64 random(20);
  // Addresses 32 bytes apart, as small objects from one pool are; the range is several times
  // the largest live count, so insertions also meet addresses already present.
  std::vector<uintptr_t> addresses;
  for (uintptr_t i = 1; i <= 6000; ++i) addresses.push_back(0x7f0000001000 + i * 32);
  long step = 0;
  // Rounds that fill the set up to thousands of entries and then empty it, so that it grows and
  // shrinks through every size.
  for (int round = 0; round < 6 && !failures; ++round) {
    for (int phase = 0; phase < 2 && !failures; ++phase) {
      const unsigned insert_share = phase == 0 ? 70 : 10;  // percent
      for (int i = 0; i < 20000; ++i, ++step) {
        const uintptr_t address = addresses[random() % addresses.size()];
        const void* p = reinterpret_cast<const void*>(address);
        const unsigned choice = random() % 100;
        if (choice < insert_share) {
          expect(set.insert(p), "insert failed", address, step);
          model.insert(address);
        } else if (choice < 90) {
          expect(set.erase(p) == (model.erase(address) == 1), "erase disagrees", address, step);
        } else {
          expect(set.contains(p) == (model.count(address) == 1), "contains disagrees", address,
                 step);
        }
        expect(set.size() == model.size(), "size disagrees", address, step);
      }
      for (uintptr_t address : addresses) {
        expect(set.contains(reinterpret_cast<const void*>(address)) == (model.count(address) == 1),
               "membership after the phase disagrees", address, step);
      }
    }
    std::shuffle(addresses.begin(), addresses.end(), random);
    for (uintptr_t address : addresses) {
      expect(set.erase(reinterpret_cast<const void*>(address)) == (model.erase(address) == 1),
             "erase while emptying disagrees", address, step++);
    }
    expect(set.size() == 0, "not empty after every address was removed", 0, step);
  }
  set.clear();
  expect(set.size() == 0 && !set.contains(reinterpret_cast<const void*>(addresses[0])),
         "not empty after clear", addresses[0], step);
  expect(set.insert(reinterpret_cast<const void*>(addresses[0])) &&
             set.contains(reinterpret_cast<const void*>(addresses[0])),
         "not usable after clear", addresses[0], step);
  std::printf("%ld steps, %d failures\n", step, failures);
  return failures ? 1 : 0;
}
