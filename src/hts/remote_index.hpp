#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "index.hpp"

namespace varsift::hts {

// Loads the index of the file at `data_url`: from `index_path` (a URL or a local file) when
// given, else from URL.tbi or URL.csi, the first the server has. A remote index is fetched
// whole, once, into a temporary file that is then checked as a local index is, except for its
// age and the data's size, which htslib's hFILE layer does not tell: the checks on its bytes
// and on the header, and those on every block it leads to, stand in for them.
std::optional<Index> load_remote_index(const std::string& data_url,
                                       const std::optional<std::string>& index_path,
                                       IndexProblem& problem);

}  // namespace varsift::hts
