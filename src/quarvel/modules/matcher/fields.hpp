#pragma once
// The key and attribute names the matcher reads and writes on every tick, as interned str
// objects (see _native/interned.hpp). GIL held in every function below.
#include <nanobind/nanobind.h>

#include "_native/interned.hpp"
#include "_native/records.hpp"

namespace quarvel::matcher {
namespace nb = nanobind;

#define QV_MATCHER_KEYS(X)                                                                         \
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
    X(check_buying_power)                                                                          \
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

/// The process-wide table of the matcher's interned keys.
struct MatcherKeys {
    QV_MATCHER_KEYS(QV_INTERNED_KEY)
};

/// The interned keys, plus the module-level names of this module read through them.
class Fields : public MatcherKeys {
  public:
    /// `module` is this extension module: its names are read from it at each use.
    explicit Fields(nb::handle module);

    /// A module-level name, read now (monkeypatching the module is seen at once).
    nb::object global(nb::handle attribute) const;

    /// A member of a module-level enumeration, e.g. member(f.OrderType, f.ROD).
    nb::object member(nb::handle enum_name, nb::handle member_name) const;

  private:
    nb::object module_;
};

/// The names of the Matcher instance `self` (TypeError for any other object).
const Fields &fields_of(nb::handle self);

} // namespace quarvel::matcher
