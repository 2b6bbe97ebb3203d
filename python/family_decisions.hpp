#pragma once

// Deciding families of hypotheses: the rejection mask of one family from its
// values in input order, the layout of families given by labels, and a pool
// of threads that decides many families at once. Plain C++ without the
// interpreter; the _fast module binds it.
//
// Values arrive checked (p-values in [0, 1], e-values non-negative); NaN marks
// a missing entry, which is never rejected and is not part of the family.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "cBY.hpp"
#include "cancellation.hpp"
#include "checked_count.hpp"
#include "padded_values.hpp"
#include "sort_in_steps.hpp"
#include "vardo.hpp"

enum class Evidence { evalues, pvalues };

struct Method {
    Evidence evidence;
    bool closed;
    bool approximate;
    bool harmonic = true;  // the p-value step-up line carries H_m: BY; false: Benjamini-Hochberg
};

inline Method method_named(const std::string& name) {
    if (name == "ebh") return {Evidence::evalues, false, false};
    if (name == "closed_ebh") return {Evidence::evalues, true, false};
    if (name == "closed_ebh_approximate") return {Evidence::evalues, true, true};
    if (name == "by") return {Evidence::pvalues, false, false};
    if (name == "closed_by") return {Evidence::pvalues, true, false};
    if (name == "closed_by_approximate") return {Evidence::pvalues, true, true};
    if (name == "bh") return {Evidence::pvalues, false, false, false};
    throw std::invalid_argument("unknown method '" + name +
                                "'; expected ebh, closed_ebh, closed_ebh_approximate, by, closed_by, "
                                "closed_by_approximate or bh");
}

// Step-up candidates. An e-value can meet the e-BH condition at some rank
// only if e * alpha is close to 1 or more, and a p-value can meet the BY
// condition only if p * H_m is close to alpha or less. The factor-2 margin
// absorbs every rounding of the core's expressions (a few ulps) and the
// error of the summed H_m (below m * 2^-53 relative, under 2.4e-7 for any
// 32-bit m), so a value that is not a candidate fails its condition at every
// rank: for e-values (k e) (alpha / m) <= e alpha (1 + 3 2^-53) < 1, for
// p-values ((p m H_m) / k) - alpha >= 1.8 (alpha + 1e-9) - alpha > 1e-10.
// BH's line has 1 in place of H_m, exactly, and the same bound holds.
constexpr double CANDIDATE_MARGIN = 2.0;
constexpr double BY_TOLERANCE_BOUND = 1e-9;  // above the BY step-up tolerance of 1e-10

// A lower bound of H_m without summing it: H_m >= ln(m + 1) and H_m >= 1.
inline double harmonic_lower_bound(int m) { return std::max(1.0, std::log1p(static_cast<double>(m))); }

// The lower bound of the factor of a p-value step-up line: H_m's for BY, 1 for BH.
inline double line_factor_lower_bound(const Method& method, int m) {
    return method.harmonic ? harmonic_lower_bound(m) : 1.0;
}

// The p-value step-up count of `method` (BY or BH) on p-values sorted largest first.
inline int pvalue_step_up_count(const Method& method, const double* p, int n, int total, double alpha) {
    return method.harmonic ? by_count(p, n, total, alpha) : bh_count(p, n, total, alpha);
}

inline bool stop_requested(const CancelFlag* cancel) {
    return cancel != nullptr && cancel->load(std::memory_order_relaxed);
}

// Sorts [first, last), descending or ascending, by std::sort in steps that
// `cancel` can stop (SearchCancelled). The _fast module sorts large ranges
// with numpy's sort instead, through the same interface.
struct StdSortInSteps {
    void operator()(double* first, double* last, bool descending, const CancelFlag* cancel) const {
        const auto stop = [cancel] { return stop_requested(cancel); };
        if (descending) {
            sort_in_steps(
                first, last, [](double* a, double* b) { std::sort(a, b, std::greater<>()); }, std::greater<>(), stop);
        } else {
            sort_in_steps(first, last, [](double* a, double* b) { std::sort(a, b); }, std::less<>(), stop);
        }
    }
};

inline bool is_evalue_candidate(double e, double alpha) { return e * alpha * CANDIDATE_MARGIN >= 1.0; }

inline bool is_pvalue_candidate(double p, double harmonic_low, double alpha) {
    return p * harmonic_low <= CANDIDATE_MARGIN * (alpha + BY_TOLERANCE_BOUND);
}

// Families at most this large (counting omitted hypotheses) are decided on
// the calling thread: the literal closed searches, the slowest, cost about
// m^2 simple steps, a few milliseconds at this size.
constexpr std::int64_t INLINE_CLOSED_VALUES = 1024;
// Step-up counts are a partition, a sort of the candidates and one pass:
// about a millisecond for this many values in all.
constexpr std::int64_t INLINE_STEP_UP_VALUES = 1 << 16;

// Whether deciding families with `values` values in all is short enough to
// run on the calling thread, without a thread to wait on.
inline bool runs_inline(const Method& method, std::int64_t values) {
    return values <= (method.closed ? INLINE_CLOSED_VALUES : INLINE_STEP_UP_VALUES);
}

// Where the processor has AVX2 (chosen when the module loads), the loops of
// the functions marked so compare four doubles at a time.
#if defined(__GNUC__) && defined(__x86_64__)
#define TARVIMO_AVX2_CLONE __attribute__((target_clones("avx2", "default")))
#else
#define TARVIMO_AVX2_CLONE
#endif

// out[j] = whether in[j] is stronger than the threshold, for j < n; returns
// whether some in[j] equals it. NaN compares false: never marked.
TARVIMO_AVX2_CLONE inline bool mark_stronger(const double* in, bool* out, std::int64_t n, double threshold,
                                             bool larger_is_stronger) {
    int tied = 0;
    if (larger_is_stronger) {
        for (std::int64_t j = 0; j < n; ++j) {
            out[j] = in[j] > threshold;
            tied |= in[j] == threshold;
        }
    } else {
        for (std::int64_t j = 0; j < n; ++j) {
            out[j] = in[j] < threshold;
            tied |= in[j] == threshold;
        }
    }
    return tied != 0;
}

// Whether some of the n contiguous values is NaN.
TARVIMO_AVX2_CLONE inline bool any_nan(const double* values, std::int64_t n) {
    int nan = 0;
    for (std::int64_t j = 0; j < n; ++j) {
        nan |= values[j] != values[j];
    }
    return nan != 0;
}

// The values of a family that are not NaN, in input order; `value(j)` reads
// entry j of n.
template <typename Value>
void gather_present(std::int64_t n, const Value& value, std::vector<double>& present) {
    present.resize(static_cast<std::size_t>(n));
    std::size_t kept = 0;
    for (std::int64_t j = 0; j < n; ++j) {
        const double v = value(j);
        present[kept] = v;
        kept += std::isnan(v) ? 0 : 1;
    }
    present.resize(kept);
}

// Values gathered, or mask entries written, between two checks for a stop
// request: a large family's copy into fresh memory is slowed by page faults
// enough to hold up a stop.
constexpr std::int64_t STOP_CHECK_VALUES = std::int64_t{1} << 20;

// The same for n contiguous values, a piece at a time, checking `cancel`
// before each: plain copies of the pieces without NaN. The vector's memory is
// reserved, not written, beforehand.
inline void gather_present(const double* values, std::int64_t n, std::vector<double>& present,
                           const CancelFlag* cancel = nullptr) {
    present.clear();
    present.reserve(static_cast<std::size_t>(n));
    for (std::int64_t start = 0; start < n; start += STOP_CHECK_VALUES) {
        stop_if_cancelled(cancel);
        const double* first = values + start;
        const double* last = values + std::min(n, start + STOP_CHECK_VALUES);
        if (any_nan(first, last - first)) {
            std::copy_if(first, last, std::back_inserter(present), [](double v) { return !std::isnan(v); });
        } else {
            present.insert(present.end(), first, last);
        }
    }
}

// The present values in the order of a step-up count: the values that
// cannot be rejected at any rank first, in any order, then the candidates
// sorted with the strongest last. The count equals the one on a fully sorted
// vector, since the scan returns at the first rank that meets its condition
// and no value of the first block meets it at any rank.
template <typename Sort>
void arrange_for_step_up(const Method& method, double alpha, int total, std::vector<double>& values,
                         const CancelFlag* cancel, const Sort& sort) {
    double* end = values.data() + values.size();
    if (method.evidence == Evidence::evalues) {
        const auto first = std::partition(values.data(), end, [alpha](double e) { return !is_evalue_candidate(e, alpha); });
        sort(first, end, false, cancel);
    } else {
        const double factor_low = line_factor_lower_bound(method, total);
        const auto first =
            std::partition(values.data(), end, [&](double p) { return !is_pvalue_candidate(p, factor_low, alpha); });
        sort(first, end, true, cancel);
    }
}

// The step-up count on values sorted with the strongest last. Only the
// candidates, a block at the end, are handed over: the others count as
// omitted hypotheses (p = 1, e = 0), which changes nothing, since neither
// they nor the stand-ins meet the condition at any rank and the candidates
// keep their ranks.
inline int sorted_step_up_count(const Method& method, double alpha, int total, const std::vector<double>& sorted) {
    const int n = static_cast<int>(sorted.size());
    if (method.evidence == Evidence::evalues) {
        const auto first = std::partition_point(sorted.begin(), sorted.end(),
                                                [alpha](double e) { return !is_evalue_candidate(e, alpha); });
        const int candidates = static_cast<int>(sorted.end() - first);
        return ebh_count(sorted.data() + (n - candidates), candidates, total, alpha);
    }
    const double factor_low = line_factor_lower_bound(method, total);
    const auto first = std::partition_point(sorted.begin(), sorted.end(), [&](double p) {
        return !is_pvalue_candidate(p, factor_low, alpha);
    });
    const int candidates = static_cast<int>(sorted.end() - first);
    return pvalue_step_up_count(method, sorted.data() + (n - candidates), candidates, total, alpha);
}

// The number of rejections among the present values of a family of `total`
// hypotheses (the others omitted: p = 1, e = 0), leaving the values arranged
// with the rejected ones last. `ascending`: the values are already sorted
// ascending. A closed procedure rejects at least as many as its step-up
// procedure: its count is the larger of the two. sort(first, last,
// descending, cancel) sorts a range.
template <typename Sort = StdSortInSteps>
int rejection_count(const Method& method, double alpha, int total, std::vector<double>& values, bool ascending,
                    const CancelFlag* cancel, const Sort& sort = {}) {
    const int n = checked_count(values.size(), "a family");
    require_family_size(n, total);
    if (n == 0) {
        return 0;
    }
    if (!method.closed) {
        arrange_for_step_up(method, alpha, total, values, cancel, sort);
        return std::min(n, method.evidence == Evidence::evalues
                               ? ebh_count(values.data(), n, total, alpha)
                               : pvalue_step_up_count(method, values.data(), n, total, alpha));
    }
    if (!ascending) {
        sort(values.data(), values.data() + values.size(), false, cancel);
    }
    if (method.evidence == Evidence::pvalues) {
        std::reverse(values.begin(), values.end());
    }
    const int step_up = std::min(n, sorted_step_up_count(method, alpha, total, values));
    if (step_up == n) {
        return n;
    }
    const int closed = method.evidence == Evidence::evalues
                           ? closed_ebh_count(values.data(), n, total, alpha, method.approximate, cancel)
                           : closed_by_count(values.data(), n, total, alpha, method.approximate, cancel);
    return std::max(step_up, std::min(closed, n));
}

// Entries the mask is written for at a time, in mark_strongest.
constexpr std::int64_t MARK_BLOCK = 256;

// The mask of the `count` strongest present values: every value stronger
// than the count-th strongest, then values equal to it from the start of the
// family until the count is reached. `arranged` holds the present values with
// the `count` strongest last, sorted strongest last. Block by block,
// mark_block(start, end) marks the stronger values and tells whether the
// block holds a value equal to the threshold; only such a block is read
// again, through value(j), to reject its ties in order. `cancel` is checked
// every STOP_CHECK_VALUES entries.
template <typename Value, typename Reject, typename MarkBlock>
void mark_strongest_by_blocks(std::int64_t n, const Value& value, const Reject& reject, const MarkBlock& mark_block,
                              const std::vector<double>& arranged, int count, const CancelFlag* cancel) {
    if (count == 0) {
        for (std::int64_t j = 0; j < n; ++j) {
            if (j % STOP_CHECK_VALUES == 0) {
                stop_if_cancelled(cancel);
            }
            reject(j, false);
        }
        return;
    }
    const std::size_t first = arranged.size() - static_cast<std::size_t>(count);
    const double threshold = arranged[first];
    // The rejected tail holds the values equal to the threshold first.
    int ties_left = 0;
    for (std::size_t j = first; j < arranged.size() && arranged[j] == threshold; ++j) {
        ++ties_left;
    }
    for (std::int64_t start = 0; start < n; start += MARK_BLOCK) {
        if (start % STOP_CHECK_VALUES == 0) {
            stop_if_cancelled(cancel);
        }
        const std::int64_t end = std::min(n, start + MARK_BLOCK);
        const bool tied = mark_block(start, end, threshold);
        for (std::int64_t j = start; tied && ties_left > 0 && j < end; ++j) {
            if (value(j) == threshold) {
                reject(j, true);
                --ties_left;
            }
        }
    }
}

// mark_strongest_by_blocks for n entries read through value(j), the mask
// written through reject(j, bool).
template <typename Value, typename Reject>
void mark_strongest(std::int64_t n, const Value& value, const Reject& reject, const std::vector<double>& arranged,
                    int count, bool larger_is_stronger, const CancelFlag* cancel = nullptr) {
    const auto mark_block = [&](std::int64_t start, std::int64_t end, double threshold) {
        bool tied = false;
        for (std::int64_t j = start; j < end; ++j) {
            const double v = value(j);
            reject(j, larger_is_stronger ? v > threshold : v < threshold);
            tied |= v == threshold;
        }
        return tied;
    };
    mark_strongest_by_blocks(n, value, reject, mark_block, arranged, count, cancel);
}

// The same for n contiguous values and mask entries, with vector comparisons.
inline void mark_strongest(const double* in, bool* out, std::int64_t n, const std::vector<double>& arranged, int count,
                           bool larger_is_stronger, const CancelFlag* cancel = nullptr) {
    const auto mark_block = [&](std::int64_t start, std::int64_t end, double threshold) {
        return mark_stronger(in + start, out + start, end - start, threshold, larger_is_stronger);
    };
    mark_strongest_by_blocks(
        n, [in](std::int64_t j) { return in[j]; }, [out](std::int64_t j, bool rejected) { out[j] = rejected; },
        mark_block, arranged, count, cancel);
}

// Decides one family of n entries read through value(j), writing its mask
// through reject(j, bool); the family has `total` hypotheses (the omitted
// ones as p = 1 or e = 0), by default its present values. `scratch` is
// working storage kept between families; sort(first, last, descending,
// cancel) sorts a range.
template <typename Value, typename Reject, typename Sort>
void decide_family(const Method& method, double alpha, std::int64_t n, std::optional<int> total, const Value& value,
                   const Reject& reject, std::vector<double>& scratch, const CancelFlag* cancel, const Sort& sort) {
    gather_present(n, value, scratch);
    const int count = rejection_count(method, alpha, total.value_or(checked_count(scratch.size(), "a family")),
                                      scratch, false, cancel, sort);
    mark_strongest(n, value, reject, scratch, count, method.evidence == Evidence::evalues, cancel);
}

// Families given by a code per value: the positions of family f are
// order[starts[f]] ... order[starts[f + 1] - 1], ascending.
struct FamilyLayout {
    std::vector<std::int64_t> starts;
    std::unique_ptr<std::int64_t[]> order;  // every entry written by the layout, so left uninitialised before
};

// Codes counted or placed by one thread at least, when the layout is
// shared out: below this, starting threads costs more than it saves.
constexpr std::int64_t LAYOUT_CHUNK = std::int64_t{1} << 20;
constexpr std::int64_t LAYOUT_CODES_PER_FAMILY = 16;

// Runs work(t) for t = 0 ... threads - 1, each on a thread of its own (the
// calling thread takes t = 0, and any part whose thread cannot start), and
// rethrows the exception of the first part that failed.
template <typename Work>
void run_on_threads(int threads, const Work& work) {
    std::vector<std::exception_ptr> failures(static_cast<std::size_t>(threads));
    const auto guarded = [&](int t) {
        try {
            work(t);
        } catch (...) {
            failures[static_cast<std::size_t>(t)] = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    helpers.reserve(static_cast<std::size_t>(threads));
    for (int t = 1; t < threads; ++t) {
        try {
            helpers.emplace_back(guarded, t);
        } catch (const std::system_error&) {  // no thread to be had: this one does the part
            guarded(t);
        }
    }
    guarded(0);
    for (std::thread& helper : helpers) {
        helper.join();
    }
    for (const std::exception_ptr& failure : failures) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
}

// A counting sort of the positions by their codes, each in 0 ... families - 1,
// on up to `threads` threads: each counts, then places, the codes of its own
// contiguous part, so the positions of a family stay ascending.
inline FamilyLayout layout_by_code(const std::int64_t* codes, std::int64_t n, std::int64_t families, int threads = 1) {
    // Each part keeps a count per family: share out only where families are few beside the codes.
    const int parts = families * LAYOUT_CODES_PER_FAMILY > n
                          ? 1
                          : static_cast<int>(std::clamp<std::int64_t>(n / LAYOUT_CHUNK, 1, std::max(threads, 1)));
    const auto part_start = [&](int t) { return n / parts * t + std::min<std::int64_t>(t, n % parts); };
    const auto families_size = static_cast<std::size_t>(families);
    // counts[t * families + f]: the codes f in part t, then where part t places its first f
    std::vector<std::int64_t> counts(static_cast<std::size_t>(parts) * families_size, 0);
    std::vector<std::int64_t> bad(static_cast<std::size_t>(parts), -1);  // a part's first code out of range
    run_on_threads(parts, [&](int t) {
        std::int64_t* count = counts.data() + static_cast<std::size_t>(t) * families_size;
        for (std::int64_t i = part_start(t), end = part_start(t + 1); i < end; ++i) {
            const std::int64_t code = codes[i];
            if (code < 0 || code >= families) {
                bad[static_cast<std::size_t>(t)] = i;
                return;
            }
            ++count[code];
        }
    });
    for (const std::int64_t i : bad) {
        if (i >= 0) {
            throw std::invalid_argument("codes[" + std::to_string(i) + "] = " + std::to_string(codes[i]) +
                                        " is not a family number in 0 ... " + std::to_string(families - 1));
        }
    }
    FamilyLayout layout{std::vector<std::int64_t>(families_size + 1, 0),
                        std::unique_ptr<std::int64_t[]>(new std::int64_t[static_cast<std::size_t>(n)])};
    std::int64_t next = 0;
    for (std::size_t f = 0; f < families_size; ++f) {
        layout.starts[f] = next;
        for (int t = 0; t < parts; ++t) {
            std::int64_t& count = counts[static_cast<std::size_t>(t) * families_size + f];
            const std::int64_t placed = count;
            count = next;
            next += placed;
        }
    }
    layout.starts[families_size] = next;
    run_on_threads(parts, [&](int t) {
        std::int64_t* place = counts.data() + static_cast<std::size_t>(t) * families_size;
        for (std::int64_t i = part_start(t), end = part_start(t + 1); i < end; ++i) {
            layout.order[place[codes[i]]++] = i;
        }
    });
    return layout;
}

// The families, largest first, so that a large family does not start last
// and leave the other threads idle.
inline std::vector<std::int64_t> largest_first(const FamilyLayout& layout) {
    std::vector<std::int64_t> schedule(layout.starts.size() - 1);
    for (std::size_t f = 0; f < schedule.size(); ++f) {
        schedule[f] = static_cast<std::int64_t>(f);
    }
    const auto size = [&](std::int64_t f) { return layout.starts[f + 1] - layout.starts[f]; };
    std::stable_sort(schedule.begin(), schedule.end(), [&](std::int64_t a, std::int64_t b) { return size(a) > size(b); });
    return schedule;
}

// Working storage of one thread, kept from one family to the next.
struct FamilyScratch {
    std::vector<double> values;  // the present values, arranged for the count
    std::vector<double> inputs;  // the entries in input order, for families gathered from scattered positions
};

// The calling thread of a pool checks for a stop request this often.
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(20);
// No more threads than this, whatever the caller asks for.
constexpr int MAX_THREADS = 256;

enum class PoolOutcome { finished, interrupted };

// Runs decide(task, scratch, cancel) for task = 0 ... tasks - 1 on up to
// `threads` threads, handing the tasks out in order as threads become free;
// each thread keeps its own FamilyScratch. The calling thread only waits,
// and calls poll() every POLL_INTERVAL: when it returns true, the flag that
// decide receives is set (the loop checks it between tasks, the searches
// inside), and the result is `interrupted` once every thread has ended.
// Otherwise the first exception a task (or poll) throws stops the other
// threads and is rethrown here, after all have ended; SearchCancelled ends a
// thread quietly.
template <typename Decide, typename Poll>
PoolOutcome run_pool(std::int64_t tasks, int threads, const Decide& decide, const Poll& poll) {
    if (tasks <= 0) {
        return PoolOutcome::finished;
    }
    if (threads < 1) {
        throw std::invalid_argument("the number of threads must be at least 1, got " + std::to_string(threads));
    }
    const int count = static_cast<int>(std::min<std::int64_t>({threads, tasks, MAX_THREADS}));
    CancelFlag cancel{false};
    std::atomic<std::int64_t> next{0};
    std::mutex mutex;
    std::condition_variable ended;
    int running = 0;
    std::exception_ptr failure;

    const auto fail = [&](std::exception_ptr error) {
        const std::lock_guard<std::mutex> lock(mutex);
        if (!failure) {
            failure = std::move(error);
        }
        cancel.store(true, std::memory_order_relaxed);
    };
    const auto work = [&] {
        try {
            FamilyScratch scratch;
            for (;;) {
                stop_if_cancelled(&cancel);
                const std::int64_t task = next.fetch_add(1, std::memory_order_relaxed);
                if (task >= tasks) {
                    break;
                }
                decide(task, scratch, &cancel);
            }
        } catch (const SearchCancelled&) {
        } catch (...) {
            fail(std::current_exception());
        }
        const std::lock_guard<std::mutex> lock(mutex);
        --running;
        ended.notify_all();
    };

    std::vector<std::thread> pool;
    pool.reserve(static_cast<std::size_t>(count));
    for (int t = 0; t < count; ++t) {
        try {
            {
                const std::lock_guard<std::mutex> lock(mutex);
                ++running;
            }
            pool.emplace_back(work);
        } catch (...) {  // a thread that could not start: stop the others
            {
                const std::lock_guard<std::mutex> lock(mutex);
                --running;
            }
            fail(std::current_exception());
            break;
        }
    }

    bool interrupted = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!ended.wait_for(lock, POLL_INTERVAL, [&] { return running == 0; })) {
            if (interrupted) {
                continue;
            }
            lock.unlock();
            try {
                interrupted = poll();
            } catch (...) {
                fail(std::current_exception());
            }
            lock.lock();
            if (interrupted) {
                cancel.store(true, std::memory_order_relaxed);
            }
        }
    }
    for (std::thread& thread : pool) {
        thread.join();
    }
    // A stop request wins over a failure that it may have caused.
    if (interrupted) {
        return PoolOutcome::interrupted;
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return PoolOutcome::finished;
}

// The tasks one after another on the calling thread, which nothing stops.
template <typename Decide>
void run_inline(std::int64_t tasks, const Decide& decide) {
    FamilyScratch scratch;
    for (std::int64_t task = 0; task < tasks; ++task) {
        decide(task, scratch, nullptr);
    }
}
