#pragma once

#include <string_view>

namespace varsift::tools {

// Makes htslib load the plugins that read URLs (http, https and ftp through libcurl, s3, gs)
// from the directory `hts_plugins` beside this extension, where a wheel carries them, before
// `path` reaches htslib: the htslib copied into a wheel would look in the build machine's
// directory, whose plugins need the system's htslib. Runs once, for the first path with a URL
// scheme, with the interpreter lock held; does nothing where no such directory is (a build
// against the system's htslib, which finds its own plugins). Loading them takes a tenth of a
// second, which local files never pay.
void prepare_hts_plugins(std::string_view path);

}  // namespace varsift::tools
