#pragma once
// Which way a deal goes into the book, and how a covering deal consumes the opposite open
// entries first-in first-out. Quantities in lots or contracts.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quarvel::core::ledger {

/// A deal covers the opposite side first when that side holds entries; whatever quantity
/// is left uncovered then opens on the deal's own side. A buy covers shorts, a sell longs.
enum class BookMove { Open, CoverFirst };
inline BookMove open_or_cover(bool opposite_has_entries) {
    return opposite_has_entries ? BookMove::CoverFirst : BookMove::Open;
}

/// One chunk of a cover: what was taken from the oldest open entry.
struct CoverChunk {
    std::int64_t quantity = 0;   ///< min(still to cover, open quantity), first on ties
    std::int64_t still_open = 0; ///< the entry's quantity after the chunk; 0 closes it
    bool overflow = false;       ///< the subtraction left 64 bits: nothing was taken
};

/// The walk over the open entries of one covering deal, one entry at a time, so a caller
/// reads (and re-costs) only the entries the deal reaches.
class FifoCover {
  public:
    explicit FifoCover(std::int64_t quantity) : remaining_(quantity) {}

    /// Whether quantity is left to cover (the next open entry, if any, is reached).
    bool wants_more() const { return remaining_ > 0; }

    /// Covers from the oldest open entry, holding `open_quantity`.
    CoverChunk take(std::int64_t open_quantity);

    /// The quantity not covered (so far).
    std::int64_t uncovered() const { return remaining_; }

  private:
    std::int64_t remaining_;
};

/// The whole walk over `open_quantities` (oldest first): the chunks taken, in order, and
/// the quantity left uncovered. Stops at an overflowing chunk, which it includes.
struct CoverPlan {
    std::vector<CoverChunk> chunks;
    std::int64_t uncovered = 0;
};
CoverPlan fifo_cover(const std::vector<std::int64_t> &open_quantities, std::int64_t quantity);

} // namespace quarvel::core::ledger
