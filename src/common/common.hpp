#pragma once

// The helpers that closed BY, closed e-BH and the family decisions share:
// cancellation of long searches, checked 32-bit counts, families given in
// part, the interval queue of the breadth-first checks, the advice of huge
// pages for large buffers, the levels' scans, and a fixed split of work over
// threads.

#include "common/cancellation.hpp"
#include "common/checked_count.hpp"
#include "common/huge_pages.hpp"
#include "common/interval_queue.hpp"
#include "common/level_search.hpp"
#include "common/padded_values.hpp"
#include "common/run_on_threads.hpp"
#include "common/vector_clones.hpp"
