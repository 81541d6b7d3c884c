#pragma once
// A millisecond counter that only moves when the test moves it.

#include <cstdint>
#include <functional>

namespace cadentor::test {

struct FakeMilliseconds {
    std::uint32_t now = 0;
    void advance(std::uint32_t ms) { now += ms; }
    std::function<std::uint32_t()> source() {
        return [this] { return now; };
    }
};

} // namespace cadentor::test
