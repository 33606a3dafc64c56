#pragma once
// The key and attribute names the matcher reads and writes on every tick, made once per
// Matcher as interned str objects. Building them from C strings on each access cost more
// than the dict operations themselves; interned, they also match Python's literal keys on
// identity. GIL held in every function below.
#include <nanobind/nanobind.h>

#include <array>

namespace quarvel::matcher {
namespace nb = nanobind;

#define QV_MATCHER_FIELDS(X)                                                                       \
    X(operation_type)                                                                              \
    X(operation_code)                                                                              \
    X(operation_message)                                                                           \
    X(trade_id)                                                                                    \
    X(account_id)                                                                                  \
    X(code)                                                                                        \
    X(product_type)                                                                                \
    X(action)                                                                                      \
    X(price)                                                                                       \
    X(quantity)                                                                                    \
    X(price_type)                                                                                  \
    X(order_type)                                                                                  \
    X(exchange_ts)                                                                                 \
    X(order_cond)                                                                                  \
    X(order_lot)                                                                                   \
    X(oc_type)                                                                                     \
    X(operation_status_code)                                                                       \
    X(order)                                                                                       \
    X(trade_status)                                                                                \
    X(id)                                                                                          \
    X(seqno)                                                                                       \
    X(ordno)                                                                                       \
    X(account)                                                                                     \
    X(exchange)                                                                                    \
    X(exchange_seqno)                                                                              \
    X(broker_id)                                                                                   \
    X(name)                                                                                        \
    X(ts)                                                                                          \
    X(timestamp)                                                                                   \
    X(account_info)                                                                                \
    X(exchange_info)                                                                               \
    X(current_tick_infos)                                                                          \
    X(pending_orders)                                                                              \
    X(response_queue)                                                                              \
    X(positions)                                                                                   \
    X(put)                                                                                         \
    X(from_value)                                                                                  \
    X(add_trade_record)                                                                            \
    X(set_positions)                                                                               \
    X(Action)                                                                                      \
    X(PriceType)                                                                                   \
    X(OrderType)                                                                                   \
    X(OperationType)                                                                               \
    X(SuccessCode)                                                                                 \
    X(OrderCond)                                                                                   \
    X(OrderLot)                                                                                    \
    X(OCType)                                                                                      \
    X(BUY)                                                                                         \
    X(LMT)                                                                                         \
    X(ROD)                                                                                         \
    X(IOC)                                                                                         \
    X(FOK)                                                                                         \
    X(CANCEL)                                                                                      \
    X(OrderBeCancel)                                                                               \
    X(value)                                                                                       \
    X(Enum)

enum class F : int {
#define QV_FIELD_ENUM(n) n,
    QV_MATCHER_FIELDS(QV_FIELD_ENUM)
#undef QV_FIELD_ENUM
        count
};

class Fields {
  public:
    /// `module` is this extension module: its names are read from it at each use.
    explicit Fields(nb::handle module);
    nb::handle operator[](F f) const { return names_[static_cast<size_t>(f)]; }

    /// A module-level name, read now (monkeypatching the module is seen at once).
    nb::object global(F name) const;

    /// A member of a module-level enumeration, e.g. member(F::OrderType, F::ROD).
    nb::object member(F enum_name, F member_name) const;

    /// The name "__deepcopy__".
    nb::handle deepcopy_name() const { return deepcopy_name_; }

    /// enum.Enum.__deepcopy__ as it is now (it hands an enumeration member back unchanged).
    nb::object enum_deepcopy() const;

  private:
    nb::object module_;
    nb::object deepcopy_name_, enum_module_name_;
    std::array<nb::object, static_cast<size_t>(F::count)> names_;
};

/// d[key] (KeyError when missing); a plain dict is read directly.
nb::object get(nb::handle d, nb::handle key);

/// d[key] = value.
void put(nb::handle d, nb::handle key, nb::handle value);

/// obj.<name>
nb::object attr_of(nb::handle obj, nb::handle name);

/// The names of the Matcher instance `self` (TypeError for any other object).
const Fields &fields_of(nb::handle self);

} // namespace quarvel::matcher
