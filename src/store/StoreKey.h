#pragma once
// The key every enciphered stream of every store is written under. Changing it makes every
// existing store unreadable.
namespace ph {

inline constexpr char kStoreKey[] = "Hb7#qLw2Vz!mR9tK";
static_assert(sizeof kStoreKey == 17, "the store key is 16 bytes");

}  // namespace ph
