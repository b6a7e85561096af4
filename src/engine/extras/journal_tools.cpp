// Undo journals seen from outside a write, for the tools that lay crash
// states out in fresh files (tools/crash_explorer.py): which file a journal
// names, and making it name another. Not for applications: a journal made to
// name the wrong file would undo bytes of that file.
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include "extras.hpp"
#include "storage/journal.hpp"

using namespace nb::literals;

namespace quorbel {

void define_journal_tools(nb::module_ &m) {
    m.def("_journal_written_for",
          [](const std::string &journal) {
              nb::gil_scoped_release release;
              return h5::journal::written_for(journal);
          },
          "journal"_a,
          "(device, inode) of the file the undo journal at `journal` was written for; None when it is no\n"
          "journal of this engine's or its header is incomplete.");
    m.def("_retarget_journal",
          [](const std::string &journal, const std::string &data_path) {
              nb::gil_scoped_release release;
              return h5::journal::retarget(journal, data_path);
          },
          "journal"_a, "data_path"_a,
          "Make the undo journal at `journal` name the file at `data_path` (device, inode, inode generation,\n"
          "birth time), as if it had been written for it; its saved bytes stay. For crash-state tools only.\n"
          "False when it is no journal of this engine's or a file cannot be read or written.");
}

}  // namespace quorbel
