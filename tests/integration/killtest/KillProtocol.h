#pragma once
// What the kill-test writer and its driver agree on: the layout the writer builds in the
// store and the lines it reports on standard output.
//
//   READY                      the store is open; jobs start now
//   INTENT PUT <id> <md5>      record <id> is about to hold Xml content with that MD5
//   INTENT DEL <id>            record <id> is about to be destroyed
//   INTENT REC <length> <md5>  "Records" is about to hold <length> bytes with that MD5
//   DONE                       a durable commit returned: every INTENT since the last DONE
//                              is now in the file
//
// Each line goes out with one write(2) of less than PIPE_BUF bytes, so a kill never leaves
// half a line in the pipe.
#include <cstddef>

namespace killtest {

inline constexpr char kTable[] = "Table";
inline constexpr char kXml[] = "Xml";
inline constexpr char kRecords[] = "Records";
// One fixed-length record appended to "Records" (a whole number of cipher blocks).
inline constexpr size_t kRecordSize = 2048;
inline constexpr int kGroupJobs = 20;

}  // namespace killtest
