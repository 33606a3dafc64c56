// Profit on cover: a deal consumes the opposite open entries of its code oldest first,
// each matched chunk re-costed on both legs with the settings in force now.
#include "_native/args.hpp"
#include "_native/format.hpp"
#include "_native/names.hpp"
#include "_native/pyns.hpp"
#include "core/cover_math.hpp"
#include "core/trade_cost.hpp"
#include "ledger.hpp"
#include "ledger_values.hpp"

namespace quarvel::positions {

using namespace native;

namespace {

core::ChunkLegs chunk_legs(const LegCost &entry, const LegCost &exit) {
    return {entry.price * as_real(entry.min_qty, "min_qty"),
            exit.price * as_real(exit.min_qty, "min_qty"),
            core::leg_cost(as_real(entry.fee, "fee"), as_real(entry.tax, "tax"),
                           as_real(entry.fixed_cost, "per_trade_cost")),
            core::leg_cost(as_real(exit.fee, "fee"), as_real(exit.tax, "tax"),
                           as_real(exit.fixed_cost, "per_trade_cost"))};
}

nb::dict profit_row(nb::handle deal, nb::handle entry, const LegCost &entry_cost,
                    const LegCost &exit_cost, const core::ChunkLegs &legs,
                    const core::ChunkProfit &chunk) {
    nb::dict row;
    row["code"] = deal["code"];
    row["entry_action"] = entry["action"];
    row["entry_dt"] = entry["exchange_ts"];
    row["entry_price"] = entry_cost.info["price"];
    row["entry_origin_price"] = entry_cost.info["origin_price"];
    row["exit_action"] = deal["action"];
    row["exit_dt"] = deal["exchange_ts"];
    row["exit_price"] = exit_cost.info["price"];
    row["exit_origin_price"] = exit_cost.info["origin_price"];
    row["qty"] = exit_cost.info["qty"];
    row["min_qty"] = exit_cost.min_qty;
    row["trade_cost"] = nb::float_(legs.entry_cost);
    row["cover_cost"] = nb::float_(legs.exit_cost);
    row["cover_cost_fee"] = exit_cost.fee;
    row["cover_cost_tax"] = exit_cost.tax;
    row["cover_cost_fixed"] = exit_cost.fixed_cost;
    row["trade_cost_fee"] = entry_cost.fee;
    row["trade_cost_tax"] = entry_cost.tax;
    row["trade_cost_fixed"] = entry_cost.fixed_cost;
    row["profit"] = nb::float_(chunk.profit);
    row["profit_ratio"] =
        chunk.ratio_is_zero ? nb::object(nb::int_(0)) : nb::object(nb::float_(chunk.ratio));
    row["entry_amount"] = nb::float_(legs.entry_amount);
    row["exit_amount"] = nb::float_(legs.exit_amount);
    return row;
}

nb::dict cover_result(const core::CoverTotals &totals, std::int64_t remaining) {
    bool summed = totals.chunks > 0;
    nb::dict result;
    result["entry_total"] = sum_or_int_zero(summed, totals.entry_total);
    result["exit_total"] = sum_or_int_zero(summed, totals.exit_total);
    result["origin_profit"] = nb::int_(0);
    result["entry_cost_total"] = sum_or_int_zero(summed, totals.entry_cost_total);
    result["exit_cost_total"] = sum_or_int_zero(summed, totals.exit_cost_total);
    result["cost"] = sum_or_int_zero(summed, totals.cost);
    result["profit"] = sum_or_int_zero(summed, totals.profit);
    result["is_covered"] = nb::bool_(remaining == 0);
    result["un_cover_qty"] = nb::int_(remaining);
    return result;
}

std::int64_t checked_minus(std::int64_t a, std::int64_t b) {
    std::int64_t out = 0;
    if (__builtin_sub_overflow(a, b, &out)) {
        PyErr_SetString(PyExc_OverflowError, "quantity out of range");
        throw nb::python_error();
    }
    return out;
}

void print_chunk(nb::handle deal, nb::handle entry) {
    console_print(kModule, "[green]沖銷部位: " + py_repr(deal) + "[/green]");
    console_print(kModule, "[yellow]被沖銷部位: " + py_repr(entry) + "[/yellow]");
}

} // namespace

CoverOutcome calculate_profit(nb::handle self, nb::handle cover_position, nb::handle product_type) {
    nb::object quantity = cover_position["quantity"];
    nb::object action = cover_position["action"];
    bool covering_short = text_equals(action, "Buy");
    nb::object code = cover_position["code"];
    nb::object target = self.attr("positions")[code][covering_short ? "sell" : "buy"];
    // Checked before the first chunk so a bad quantity leaves the book untouched.
    std::int64_t remaining = require_int64(quantity, "quantity");

    core::CoverTotals totals;
    while (remaining > 0 && nb::len(target) > 0) {
        nb::object entry = target[0];
        std::int64_t open_quantity = require_int64(entry["quantity"], "quantity");
        std::int64_t chunk = core::chunk_quantity(remaining, open_quantity);
        nb::int_ chunk_qty(chunk);
        LegCost entry_cost =
            calculate_trade_cost(self, entry["code"], entry["action"], entry["price"], chunk_qty,
                                 product_type, true, false);
        LegCost exit_cost = calculate_trade_cost(self, code, action, cover_position["price"],
                                                 chunk_qty, product_type, false, false);
        print_chunk(cover_position, entry);

        core::ChunkLegs legs = chunk_legs(entry_cost, exit_cost);
        core::ChunkProfit profit = core::chunk_profit(covering_short, legs);
        totals.add(legs, profit);
        self.attr("_profit_report")["rows"].attr("append")(
            profit_row(cover_position, entry, entry_cost, exit_cost, legs, profit));

        remaining = checked_minus(remaining, chunk);
        std::int64_t still_open = checked_minus(open_quantity, chunk);
        entry["quantity"] = nb::int_(still_open);
        if (still_open == 0 && PySequence_DelItem(target.ptr(), 0) < 0)
            throw nb::python_error();
    }
    return {cover_result(totals, remaining), totals, covering_short};
}

void register_cover_methods(nb::class_<Positions> &cls) {
    cls.def(
        QV_PRIVATE(Positions, calculate_profit),
        [](nb::handle self, nb::handle cover_position, nb::handle product_type) {
            require_dict(cover_position, "cover_position");
            return calculate_profit(self, cover_position, product_type).result;
        },
        nb::arg("cover_position"), nb::arg("product_type"),
        nb::sig("def _Positions__calculate_profit(self, cover_position: dict, "
                "product_type: str) -> dict"));
}

} // namespace quarvel::positions
