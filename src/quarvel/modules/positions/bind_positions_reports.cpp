// Reporting methods of Positions: position queries, exports and the report files.
#include "reports.hpp"

namespace quarvel::positions {

void register_report_methods(nb::class_<Positions> &cls) {
    register_query_methods(cls);
    register_position_format_methods(cls);
    register_export_methods(cls);
    register_standard_report_methods(cls);
    register_qs_report_methods(cls);
}

} // namespace quarvel::positions
