// Module entry of quorbel._extras.
#include "extras.hpp"

using namespace nb::literals;

NB_MODULE(_extras, m) {
    using namespace quorbel;
    // The engine's settings and sibling functions are quorbel.detail's: the
    // panel read maps dates and instruments exactly as the range read does.
    // The reference is kept for the life of the process, as detail keeps its own.
    set_engine_module(nb::module_::import_("quorbel.detail").release());
    register_error_translation();
    register_wait_hook();

    m.def("read_panel", &read_panel, "h5_or_path"_a, "order_book_ids"_a, "start_date"_a, "end_date"_a,
          "check"_a = false, "as_numpy"_a = false, kReadPanelDoc);
    define_library_reads(m);
    define_history_reads(m);
    define_value_spans(m);
    define_command_scans(m);
    define_journal_tools(m);
    define_value_checks(m);
    m.def("_instrument_documents", &instrument_documents,
          "Every document of the instrument collection as (order_book_id, row, the other fields as JSON), in\n"
          "the collection's natural order; quorbel.instruments() builds its table from them.");
    // The command itself is quorbel.cli.main; this name stays for callers of old.
    m.def("main", [] {
              return int64_of(nb::module_::import_("quorbel.cli").attr("main")(), "quorbel.cli.main()'s exit status");
          },
          "The `quorbel` command line tool (quorbel.cli.main): runs the command in sys.argv and returns the exit "
          "status.");
}
