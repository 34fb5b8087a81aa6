// The syntax tree the executor runs, built from a split command line.
#pragma once

#include <nlohmann/json.hpp>

#include "clients/cli/word_splitter.h"
#include "protocol/result.h"

namespace zelta::client {

/// Trees and requests keep their keys in the order they are added, so a traced
/// request reads in declaration order.
using Json = nlohmann::ordered_json;

/// One member becomes {"Command":{"name":..,"args":[..],"single_quoted_args":[..],
/// "redirects":[..]}}; several become {"Pipeline":{"commands":[<Command>...]}}.
/// A redirect is {"fd":N,"kind":"Input"|"Output"|"Append","file":..}, "fd" left
/// out when no number was written. Fails on an empty line, and on redirections in a
/// pipeline unless `on_terminal` (a pipeline on pipes would drop them silently; one on
/// a terminal applies them in its member).
Result<Json> build_tree(const CommandLine& line, bool on_terminal = false);

}  // namespace zelta::client
