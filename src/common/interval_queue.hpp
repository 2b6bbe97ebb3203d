#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace tarvimo::common {

// First-in first-out queue of closed integer intervals, for the checks that
// probe the midpoints of ever smaller intervals breadth first. The starting
// interval is held inline, so a check that ends at its first probe (the
// common case in a search that scans many candidate sizes) allocates nothing.
// Index is the integer type of the bounds.
template <typename Index>
class IntervalQueue {
public:
    IntervalQueue(Index lo, Index hi) : first_{lo, hi} {}

    bool empty() const { return first_taken_ && next_ == later_.size(); }

    std::pair<Index, Index> pop() {
        if (!first_taken_) {
            first_taken_ = true;
            return first_;
        }
        return later_[next_++];
    }

    void push(Index lo, Index hi) { later_.emplace_back(lo, hi); }

private:
    std::pair<Index, Index> first_;
    bool first_taken_ = false;
    std::vector<std::pair<Index, Index>> later_;  // read from next_ onward
    std::size_t next_ = 0;
};

}  // namespace tarvimo::common
