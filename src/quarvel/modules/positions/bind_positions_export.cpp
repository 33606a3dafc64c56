// Exports of the ledger's journals: the timestamped trade-record CSV, the profit rows of one
// code, and the save-path method every report file goes through.
#include "_native/args.hpp"
#include "_native/format.hpp"
#include "_native/mangled.hpp"
#include "_native/pyns.hpp"
#include "reports.hpp"

namespace quarvel::positions {

using namespace native;

namespace {

nb::object generate_save_path(nb::handle, nb::handle file_name, nb::args folders) {
    require_str(file_name, "file_name", true);
    for (nb::handle folder : folders)
        require_str(folder, "folders");
    nb::object join = module_attr(kModule, "os").attr("path").attr("join");
    nb::list parts;
    parts.append(module_attr(kModule, "BASIC_INFO").attr("data_dir"));
    for (nb::handle folder : folders)
        parts.append(folder);
    nb::object directory = join(*nb::tuple(parts));
    module_attr(kModule, "make_dir")(directory);
    if (file_name.is_none())
        return directory;
    return join(directory, file_name);
}

void export_trade_records(nb::handle self) {
    nb::object now = module_attr(kModule, "datetime").attr("datetime").attr("now")();
    nb::object file_name = now.attr("strftime")("%Y-%m-%d %H%M%S") + nb::str("_trade_records.csv");
    nb::object path = save_path(self, file_name, {"trade_records"});
    // A copy of the journal: the table is built from what was recorded up to now.
    nb::list records = list_copy(self.attr("trade_records"));
    // Types come from every row, not the first hundred, so a late float price cannot fail.
    nb::object table = module_attr(kModule, "pl")
                           .attr("DataFrame")(records, nb::arg("infer_schema_length") = nb::none());
    write_text_atomically(path, table.attr("write_csv")());
    console_print(kModule, "[bold green]交易紀錄已匯出至: " + py_str(path) + "[/bold green]");
}

nb::list get_profit_rows_by_code(nb::handle self, nb::handle code) {
    require_str(code, "code");
    nb::list rows = list_copy(self.attr("_profit_report")["rows"]);
    nb::list matching;
    for (nb::handle row : rows)
        if (nb::object(row["code"]).equal(code))
            matching.append(row);
    return matching;
}

} // namespace

void register_export_methods(nb::class_<Positions> &cls) {
    cls.def(QV_PRIVATE(Positions, generate_save_path), &generate_save_path,
            nb::arg("file_name") = nb::none(), nb::arg("folders"),
            nb::sig("def _Positions__generate_save_path(self, file_name: str | None = None, "
                    "*folders: str) -> str"));
    cls.def("export_trade_records", &export_trade_records,
            nb::sig("def export_trade_records(self) -> None"));
    cls.def("get_profit_rows_by_code", &get_profit_rows_by_code, nb::arg("code"),
            nb::sig("def get_profit_rows_by_code(self, code: str) -> list[dict]"));
}

} // namespace quarvel::positions
