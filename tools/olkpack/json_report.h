// The one JSON object that --json prints on stdout for pipelines.
#pragma once

#include <stdio.h>

#include <nlohmann/json.hpp>

/*! PrintJson() :
 *  Writes `report` as one line. Names that are not UTF-8 (any bytes are
 *  allowed in POSIX paths) are written with U+FFFD in their place rather
 *  than failing the report.
 *  @return : false when stdout cannot be written. */
inline bool PrintJson(const nlohmann::json& report) {
  const std::string text = report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return printf("%s\n", text.c_str()) >= 0 && fflush(stdout) == 0;
}
