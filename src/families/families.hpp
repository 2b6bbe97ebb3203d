#pragma once

// Deciding families of hypotheses: the rejection mask of one family from its
// values in input order, the layout of families given by labels, and a pool
// of threads that decides many families at once. Plain C++ without the
// interpreter; the _fast module binds it.
//
// Values arrive checked (p-values in [0, 1], e-values non-negative), except
// where a contiguous family's pass checks them itself; NaN marks a missing
// entry, which is never rejected and is not part of the family.
//
// methods.hpp     the methods, step-up candidates and the count of one family
// sort_in_steps.hpp a sort of runs and merges that a stop request can end
// needed.hpp      the values a count reads, gathered in one pass
// masks.hpp       the mask of one family, with AVX2 clones of the compare loops
// contiguous.hpp  a step-up family of contiguous values in one pass, its domain checked on the way
// layout.hpp      the families given by codes, laid out by a counting sort
// thread_pool.hpp the threads that decide many families at once
// levels.hpp      the levels of one family: the smallest alpha rejecting each entry
// closed_ebh_levels.hpp a large closed e-BH family's levels from its two-part sort
// closed_by_levels.hpp  a large closed BY family's levels from its two-part sort

#include "families/closed_by_levels.hpp"
#include "families/closed_ebh_levels.hpp"
#include "families/contiguous.hpp"
#include "families/layout.hpp"
#include "families/levels.hpp"
#include "families/masks.hpp"
#include "families/methods.hpp"
#include "families/needed.hpp"
#include "families/rank_order.hpp"
#include "families/thread_pool.hpp"
