// olkpack's error lines: "olkpack: FILE: cause", one per failure.
#pragma once

#include <string>

class EmbeddedArchive;

/*! Fail() :
 *  Prints "olkpack: <file>: <cause>" to stderr.
 *  @return : 1, the exit status of every failure. */
int Fail(const std::string& file, const std::string& cause);

/*! DescribeOpenFailure() :
 *  Words why `archive`, read from `path`, did not open, from the reader's
 *  own verdict (the reader stays the only parser of the directory). */
std::string DescribeOpenFailure(const EmbeddedArchive& archive, const std::string& path);

/*! PrintableName() :
 *  A member name with control bytes shown as \xNN, so that one name stays
 *  on one line of output. */
std::string PrintableName(const char* name);
