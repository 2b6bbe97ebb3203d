#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace tarvimo::common {

// First-in first-out queue of closed integer intervals, for the checks that
// probe the midpoints of ever smaller intervals breadth first. The starting
// interval is held inline, so a check that ends at its first probe (the
// common case in a search that scans many candidate sizes) allocates nothing.
class IntervalQueue {
public:
    IntervalQueue(int lo, int hi) : first_{lo, hi} {}

    bool empty() const { return first_taken_ && next_ == later_.size(); }

    std::pair<int, int> pop() {
        if (!first_taken_) {
            first_taken_ = true;
            return first_;
        }
        return later_[next_++];
    }

    void push(int lo, int hi) { later_.emplace_back(lo, hi); }

private:
    std::pair<int, int> first_;
    bool first_taken_ = false;
    std::vector<std::pair<int, int>> later_;  // read from next_ onward
    std::size_t next_ = 0;
};

}  // namespace tarvimo::common
