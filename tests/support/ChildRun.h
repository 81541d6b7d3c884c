#pragma once
// What the tests must know of how they were built.

namespace cadentor::test {

// True under AddressSanitizer, which cannot run under an address-space cap (RLIMIT_AS).
bool underAddressSanitizer();

} // namespace cadentor::test
