#pragma once
// The enumeration members matching compares records with. Members of an enumeration
// cannot be reassigned, so they are kept for as long as the module still names the same
// enumeration classes; the classes themselves are read from the module on every call, so
// replacing one (monkeypatching) is seen at once. GIL held.
#include <nanobind/nanobind.h>

#include "fields.hpp"

namespace quarvel::matcher {
namespace nb = nanobind;

class MatchEnums {
  public:
    /// Brings the members up to date with the module's classes; call once per match.
    void refresh(const Fields &f);

    nb::handle buy_value() const { return buy_value_; } // Action.BUY.value
    nb::handle lmt() const { return lmt_; }             // PriceType.LMT
    nb::handle rod() const { return rod_; }             // OrderType.ROD
    nb::handle ioc() const { return ioc_; }             // OrderType.IOC
    nb::handle fok() const { return fok_; }             // OrderType.FOK

  private:
    nb::object action_, price_type_, order_type_; // the classes the members came from
    nb::object buy_value_, lmt_, rod_, ioc_, fok_;
};

} // namespace quarvel::matcher
