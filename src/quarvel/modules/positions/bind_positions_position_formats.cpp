// Open positions in the two shapes of the broker's position lists: one summary row per
// code and one detail row per open entry, both valued at the code's latest tick.
#include "_native/args.hpp"
#include "_native/errors.hpp"
#include "_native/format.hpp"
#include "_native/mangled.hpp"
#include "_native/pyns.hpp"
#include "_native/records.hpp"
#include "core/trade_cost.hpp"
#include "ledger_rules.hpp"
#include "reports.hpp"

namespace quarvel::positions {

using namespace native;

namespace {

constexpr const char *kNoTickMessage = "[red]尚未訂閱回測 Tick, 無法計算回測時的即時庫存損益[/red]";
constexpr const char *kSides[] = {"buy", "sell"};

bool contains(nb::handle container, nb::handle key) {
    int result = PySequence_Contains(container.ptr(), key.ptr());
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

/// The codes of the book whose product type is `product_type`, in book order. Codes without
/// a tick get None in current_tick_infos, as the broker lists them before any quote.
nb::list target_codes(nb::handle self, nb::handle product_type) {
    nb::object mapper = self.attr("product_type_mapper");
    nb::list codes;
    // A snapshot of the keys: console output below may let the backtest thread add codes.
    for (nb::handle code : list_copy(self.attr("positions")))
        if (nb::object(mapper.attr("get")(code)).equal(product_type))
            codes.append(code);
    nb::object ticks = self.attr("current_tick_infos");
    for (nb::handle code : codes)
        if (!contains(ticks, code))
            ticks[code] = nb::none();
    return codes;
}

/// Entries of one side of a code's book, copied so a concurrent cover cannot shift them.
nb::list side_entries(nb::handle book, const char *side) {
    return list_copy(book.attr("get")(side, nb::list()));
}

/// Money per unit of price per unit of quantity: a lot of shares, or the contract value.
nb::object unit_value(nb::handle self, nb::handle code, nb::handle entry) {
    nb::object product_type = entry["product_type"];
    if (product_type.equal(nb::str("Stock")))
        return nb::int_(core::ledger::kSharesPerLot);
    if (product_type.equal(nb::str("Future")))
        return self.attr(QV_PRIVATE(Positions, apply_future_contract_value))(code);
    raise_exception("不支援的商品類型: " + py_str(product_type));
}

/// Unrealised profit of one entry at `tick`; a short gains when the price falls.
nb::object unrealised_pnl(nb::handle tick, nb::handle entry, nb::handle unit, bool is_long) {
    nb::object price_diff = nb::object(tick["close"]) - nb::object(entry["price"]);
    if (!is_long)
        price_diff = -price_diff;
    return price_diff * nb::object(entry["quantity"]) * unit;
}

bool is_zero(nb::handle quantity) {
    return quantity.equal(nb::int_(0));
}

/// Under market rules that margin futures: the margin this code ties up and what the
/// account has left.
void add_margin_keys(nb::handle self, nb::handle code, nb::dict row, bool stock) {
    const core::ledger::TaiwanRulesTable *rules = installed_rules(self);
    if (!rules || stock)
        return;
    row["margin_used"] = code_margin_used(self, *rules, code);
    row["margin_available"] = margin_report(self, *rules)["available"];
}

nb::list format_position_summary(nb::handle self, nb::handle product_type) {
    require_str(product_type, "product_type");
    nb::list codes = target_codes(self, product_type);
    const bool stock = product_type.equal(nb::str("Stock"));
    nb::object builtins = nb::module_::import_("builtins");
    // Looked up once per request: the dicts themselves are read live below.
    nb::object positions = self.attr("positions");
    nb::object ticks = self.attr("current_tick_infos");
    nb::object cash =
        stock ? nb::object(module_attr(kModule, "OrderCond").attr("CASH")) : nb::none();
    nb::list result;
    for (nb::handle code : codes) {
        if (!contains(positions, code))
            continue;
        nb::object book = positions[code];
        nb::object pnl = nb::int_(0), quantity = nb::int_(0), total_price = nb::int_(0);
        for (const char *side : kSides) {
            for (nb::handle entry : side_entries(book, side)) {
                nb::object entry_qty = entry["quantity"];
                if (is_zero(entry_qty))
                    continue;
                quantity = quantity + entry_qty;
                total_price = total_price + nb::object(entry["price"]) * entry_qty;
                nb::object tick = ticks[code];
                if (truthy(tick)) {
                    nb::object unit = unit_value(self, code, entry);
                    pnl = pnl + unrealised_pnl(tick, entry, unit, side == kSides[0]);
                } else {
                    console_print(kModule, kNoTickMessage);
                }
            }
        }
        if (is_zero(quantity))
            continue;
        nb::object avg_price = nb::int_(0);
        if (quantity > nb::int_(0))
            avg_price = builtins.attr("round")(total_price / quantity, 2);
        nb::dict row;
        row["code"] = code;
        row["quantity"] = quantity;
        row["avg_price"] = avg_price;
        row["pnl"] = pnl;
        if (stock) {
            row["cond"] = cash;
            for (const char *key :
                 {"margin_purchase_amount", "collateral", "short_sale_margin", "interest"})
                row[key] = 0;
        }
        add_margin_keys(self, code, row, stock);
        result.append(row);
    }
    return result;
}

nb::list format_position_detail(nb::handle self, nb::handle product_type) {
    require_str(product_type, "product_type");
    nb::list codes = target_codes(self, product_type);
    const bool stock = product_type.equal(nb::str("Stock"));
    nb::object positions = self.attr("positions");
    nb::object ticks = self.attr("current_tick_infos");
    nb::list result;
    for (nb::handle code : codes) {
        if (!contains(positions, code))
            continue;
        nb::object book = positions[code];
        for (const char *side : kSides) {
            for (nb::handle entry : side_entries(book, side)) {
                if (is_zero(nb::object(entry["quantity"])))
                    continue;
                nb::object unit = unit_value(self, code, entry);
                nb::object tick = ticks[code];
                nb::object pnl = nb::int_(0);
                if (truthy(tick))
                    pnl = unrealised_pnl(tick, entry, unit, side == kSides[0]);
                else
                    console_print(kModule, kNoTickMessage);
                nb::dict row;
                row["date"] = entry["exchange_ts"];
                row["code"] = code;
                row["quantity"] = entry["quantity"];
                row["cost"] = entry["price"];
                row["pnl"] = pnl;
                row["fee"] = 0;
                row["trade_id"] = entry["trade_id"];
                if (stock) {
                    row["margin_purchase_amount"] = 0;
                    row["collateral"] = 0;
                }
                result.append(row);
            }
        }
    }
    return result;
}

} // namespace

void register_position_format_methods(nb::class_<Positions> &cls) {
    cls.def(QV_PRIVATE(Positions, format_position_summary), &format_position_summary,
            nb::arg("product_type"),
            nb::sig("def _Positions__format_position_summary(self, product_type: str) -> "
                    "list[dict]"));
    cls.def(QV_PRIVATE(Positions, format_position_detail), &format_position_detail,
            nb::arg("product_type"),
            nb::sig("def _Positions__format_position_detail(self, product_type: str) -> "
                    "list[dict]"));
}

} // namespace quarvel::positions
