#pragma once

// What the certified closed BY routines did, and when they take which route.

namespace tarvimo::closed_by {

// What the certified routines did, for the tests and the benchmarks.
struct CertifiedCbyStats {
    long long literal_runs = 0;           // searches or checks handed to the literal routines
    long long lane_counts = 0;            // counts shown to fail at their warm size in O(1)
    long long lane_single = 0;            // lane counts tested one at a time, outside the blocks
    long long skipped_counts = 0;         // counts with an omitted p-value inside, failing at one size
    long long sweeps = 0;                 // checks whose sizes were all decided in size order
    long long sizes_literal = 0;          // sizes short enough to run the literal steps
    long long sizes_certified = 0;        // sizes decided by a certificate
    long long exact_sums = 0;             // certificates that summed every term exactly
    long long blocks_certified = 0;       // ranges of sizes certified to pass at once
    long long blocks_up_the_levels = 0;   // of those, certified from a floor up and for a span of counts
    long long level_misses = 0;           // ranges whose certificate from the floor failed: tried at the level alone
    long long blocks_carried = 0;         // ranges certified up the levels that a later check between took
    long long carried_across_counts = 0;  // of those, taken by a check of another count than the one certifying
    long long outside_carried = 0;        // sweeps without a floor that no kept range applied to
    long long known_sizes = 0;            // sizes a check took as judged on their own at its level before
    long long fallbacks = 0;              // sizes no certificate decided, run literally
    long long history_replays = 0;        // sizes whose loop read entries left by earlier sizes
    long long settled_sweeps = 0;         // sweeps whose uncertain sizes all passed when decided right after
    long long unsettled_sweeps = 0;       // sweeps where one of them failed or was stale: the walk decides the rest
    long long bounds_undecided = 0;       // bound tests that bounds on H_s left to the summed H_s
};

// When the engine takes which route. Results never depend on it; the tests
// lower the thresholds so that small inputs take every route.
struct CertifiedCbyTuning {
    long literal_work = 64;  // a size whose literal steps take at most this many e-values runs them
    int direct_sizes = 128;  // sizes examined one by one before the rest are decided in size order
    bool blocks = true;      // certify ranges of sizes at once
    bool lane = true;        // settle failing counts at their warm size without a check
    // A family padded by more omitted values than this and than it has given
    // values keeps only the shared checkpoints of the harmonic numbers below
    // its given values: the search reads few sums there, and resuming them
    // from a checkpoint costs less than summing every one on each call.
    int dense_padding = 0;
    // The width of the first range of sizes a sweep tries to certify; it
    // doubles while ranges certify.
    long first_block_width = 2;
    // Sizes a sweep decides one by one before it tries ranges.
    long first_singles = 0;
    // A sweep decides each size outright, with exact sums where no cheaper
    // certificate does, instead of leaving it uncertain for the walk: for
    // checks expected to pass, whose walk meets every size anyway.
    bool decisive_sweep = false;
    // The narrowest range of sizes a sweep given a floor certifies from
    // there up (fast_check.cpp, CheckWalk::sweep): narrower ones mostly
    // hold the count's tight sizes and miss.
    long least_carried_width = 128;
};

}  // namespace tarvimo::closed_by
