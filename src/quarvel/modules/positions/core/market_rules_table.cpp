#include "market_rules_table.hpp"

namespace quarvel::core::ledger {

IndexFuture index_future_of(std::string_view code) {
    std::string_view root = code.substr(0, 3);
    if (root == "TXF")
        return IndexFuture::TX;
    if (root == "MXF")
        return IndexFuture::MTX;
    if (root == "TMF")
        return IndexFuture::TMF;
    return IndexFuture::None;
}

const FutureTerms *TaiwanRulesTable::terms_of(std::string_view code) const {
    switch (index_future_of(code)) {
    case IndexFuture::TX:
        return &tx;
    case IndexFuture::MTX:
        return &mtx;
    case IndexFuture::TMF:
        return &tmf;
    case IndexFuture::None:
        break;
    }
    return nullptr;
}

} // namespace quarvel::core::ledger
