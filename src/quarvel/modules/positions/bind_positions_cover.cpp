// Profit on cover: a deal consumes the opposite open entries of its code oldest first,
// each matched chunk re-costed on both legs with the settings in force now.
#include "_native/args.hpp"
#include "_native/mangled.hpp"
#include "core/cover_math.hpp"
#include "core/fifo_cover.hpp"
#include "core/trade_cost.hpp"
#include "ledger.hpp"
#include "ledger_keys.hpp"
#include "ledger_rules.hpp"
#include "ledger_values.hpp"

namespace quarvel::positions {

using namespace native;

namespace {

core::ledger::ChunkLegs chunk_legs(const LegCost &entry, const LegCost &exit) {
    return {entry.price * as_real(entry.min_qty, "min_qty"),
            exit.price * as_real(exit.min_qty, "min_qty"),
            core::ledger::leg_cost(as_real(entry.fee, "fee"), as_real(entry.tax, "tax"),
                                   as_real(entry.fixed_cost, "per_trade_cost")),
            core::ledger::leg_cost(as_real(exit.fee, "fee"), as_real(exit.tax, "tax"),
                                   as_real(exit.fixed_cost, "per_trade_cost"))};
}

nb::dict profit_row(nb::handle deal, nb::handle entry, const LegCost &entry_cost,
                    const LegCost &exit_cost, const core::ledger::ChunkLegs &legs,
                    const core::ledger::ChunkProfit &chunk) {
    const LedgerKeys &k = ledger_keys();
    nb::dict row = presized_dict(23);
    set_item(row, k.code, item(deal, k.code));
    set_item(row, k.entry_action, item(entry, k.action));
    set_item(row, k.entry_dt, item(entry, k.exchange_ts));
    set_item(row, k.entry_price, entry_cost.price_obj);
    set_item(row, k.entry_origin_price, entry_cost.origin_price);
    set_item(row, k.exit_action, item(deal, k.action));
    set_item(row, k.exit_dt, item(deal, k.exchange_ts));
    set_item(row, k.exit_price, exit_cost.price_obj);
    set_item(row, k.exit_origin_price, exit_cost.origin_price);
    set_item(row, k.qty, exit_cost.qty);
    set_item(row, k.min_qty, exit_cost.min_qty);
    set_item(row, k.trade_cost, nb::float_(legs.entry_cost));
    set_item(row, k.cover_cost, nb::float_(legs.exit_cost));
    set_item(row, k.cover_cost_fee, exit_cost.fee);
    set_item(row, k.cover_cost_tax, exit_cost.tax);
    set_item(row, k.cover_cost_fixed, exit_cost.fixed_cost);
    set_item(row, k.trade_cost_fee, entry_cost.fee);
    set_item(row, k.trade_cost_tax, entry_cost.tax);
    set_item(row, k.trade_cost_fixed, entry_cost.fixed_cost);
    set_item(row, k.profit, nb::float_(chunk.profit));
    set_item(row, k.profit_ratio,
             chunk.ratio_is_zero ? nb::object(nb::int_(0)) : nb::object(nb::float_(chunk.ratio)));
    set_item(row, k.entry_amount, nb::float_(legs.entry_amount));
    set_item(row, k.exit_amount, nb::float_(legs.exit_amount));
    return row;
}

/// prefix + repr(record) + suffix, joined as Python text (the repr is never re-encoded).
nb::str framed_repr(const char *prefix, nb::handle record, const char *suffix) {
    PyObject *text = PyObject_Repr(record.ptr());
    if (!text)
        throw nb::python_error();
    nb::object owned = nb::steal(text);
    PyObject *line = PyUnicode_FromFormat("%s%U%s", prefix, owned.ptr(), suffix);
    if (!line)
        throw nb::python_error();
    return nb::steal<nb::str>(line);
}

void print_chunk(nb::handle deal, nb::handle entry) {
    print_line(framed_repr("[green]沖銷部位: ", deal, "[/green]"));
    print_line(framed_repr("[yellow]被沖銷部位: ", entry, "[/yellow]"));
}

} // namespace

CoverOutcome calculate_profit(nb::handle self, nb::handle cover_position, nb::handle product_type) {
    const LedgerKeys &k = ledger_keys();
    nb::object quantity = item(cover_position, k.quantity);
    nb::object action = item(cover_position, k.action);
    bool covering_short = text_equals(action, "Buy");
    nb::object code = item(cover_position, k.code);
    nb::object target = item(item(self.attr(k.positions), code), covering_short ? k.sell : k.buy);
    // Checked before the first chunk so a bad quantity leaves the book untouched.
    core::ledger::FifoCover walk(require_int64(quantity, "quantity"));

    const core::ledger::TaiwanRulesTable *rules = installed_rules(self);
    const bool future = text_equals(product_type, "Future");
    core::ledger::CoverTotals totals;
    while (walk.wants_more() && nb::len(target) > 0) {
        nb::object entry = target[0];
        core::ledger::CoverChunk chunk =
            walk.take(require_int64(item(entry, k.quantity), "quantity"));
        nb::int_ chunk_qty(chunk.quantity);
        LegCost entry_cost =
            calculate_trade_cost(self, item(entry, k.code), item(entry, k.action),
                                 item(entry, k.price), chunk_qty, product_type, true, false);
        LegCost exit_cost = calculate_trade_cost(
            self, code, action, item(cover_position, k.price), chunk_qty, product_type, false,
            false, day_trade_sell(rules, entry, cover_position, future));
        print_chunk(cover_position, entry);

        core::ledger::ChunkLegs legs = chunk_legs(entry_cost, exit_cost);
        core::ledger::ChunkProfit profit = core::ledger::chunk_profit(covering_short, legs);
        totals.add(legs, profit);
        append(item(self.attr(k._profit_report), k.rows),
               profit_row(cover_position, entry, entry_cost, exit_cost, legs, profit));

        if (chunk.overflow) {
            PyErr_SetString(PyExc_OverflowError, "quantity out of range");
            throw nb::python_error();
        }
        set_item(entry, k.quantity, nb::int_(chunk.still_open));
        if (chunk.still_open == 0 && PySequence_DelItem(target.ptr(), 0) < 0)
            throw nb::python_error();
    }
    return {totals, walk.uncovered(), covering_short};
}

nb::dict cover_result(const CoverOutcome &outcome) {
    const LedgerKeys &k = ledger_keys();
    const core::ledger::CoverTotals &totals = outcome.totals;
    bool summed = totals.chunks > 0;
    nb::dict result = presized_dict(9);
    set_item(result, k.entry_total, sum_or_int_zero(summed, totals.entry_total));
    set_item(result, k.exit_total, sum_or_int_zero(summed, totals.exit_total));
    set_item(result, k.origin_profit, nb::int_(0));
    set_item(result, k.entry_cost_total, sum_or_int_zero(summed, totals.entry_cost_total));
    set_item(result, k.exit_cost_total, sum_or_int_zero(summed, totals.exit_cost_total));
    set_item(result, k.cost, sum_or_int_zero(summed, totals.cost));
    set_item(result, k.profit, sum_or_int_zero(summed, totals.profit));
    set_item(result, k.is_covered, nb::bool_(outcome.remaining == 0));
    set_item(result, k.un_cover_qty, nb::int_(outcome.remaining));
    return result;
}

void register_cover_methods(nb::class_<Positions> &cls) {
    cls.def(
        QV_PRIVATE(Positions, calculate_profit),
        [](nb::handle self, nb::handle cover_position, nb::handle product_type) {
            require_dict(cover_position, "cover_position");
            return cover_result(calculate_profit(self, cover_position, product_type));
        },
        nb::arg("cover_position"), nb::arg("product_type"),
        nb::sig("def _Positions__calculate_profit(self, cover_position: dict, "
                "product_type: str) -> dict"));
}

} // namespace quarvel::positions
