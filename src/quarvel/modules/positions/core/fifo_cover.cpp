#include "fifo_cover.hpp"

#include "cover_math.hpp"

namespace quarvel::core::ledger {

CoverChunk FifoCover::take(std::int64_t open_quantity) {
    CoverChunk chunk;
    chunk.quantity = chunk_quantity(remaining_, open_quantity);
    std::int64_t remaining = 0;
    if (__builtin_sub_overflow(remaining_, chunk.quantity, &remaining) ||
        __builtin_sub_overflow(open_quantity, chunk.quantity, &chunk.still_open)) {
        chunk.overflow = true;
        return chunk;
    }
    remaining_ = remaining;
    return chunk;
}

CoverPlan fifo_cover(const std::vector<std::int64_t> &open_quantities, std::int64_t quantity) {
    FifoCover walk(quantity);
    CoverPlan plan;
    for (std::size_t i = 0; i < open_quantities.size() && walk.wants_more(); ++i) {
        plan.chunks.push_back(walk.take(open_quantities[i]));
        if (plan.chunks.back().overflow)
            break;
    }
    plan.uncovered = walk.uncovered();
    return plan;
}

} // namespace quarvel::core::ledger
