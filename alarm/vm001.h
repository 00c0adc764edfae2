#pragma once
// The alarm server's table of alarm definitions, "vm001.dbf": one record per
// alarm number (record = alarm number + 1), fields "T01" to "T99". We read
// it only to warn about a badly configured default alarm: "T02" (status, 91
// when the alarm exists), "T30" (p_ogm4, the alarm's group) and "T65"
// (num6_1, the second technical alarm).
#include <cstddef>

#include "alarm/alarm_table.h"

namespace alarms {

// Status "T02" of a record that holds an alarm definition.
inline constexpr long kVm001AlarmExists = 91;
inline constexpr int kVm001FieldCount = 99;
// Sizes of the text members (each holds its text and a terminator).
inline constexpr std::size_t kVm001Text65 = 65;
inline constexpr std::size_t kVm001Text100 = 100;
inline constexpr std::size_t kVm001Text30 = 30;
inline constexpr std::size_t kVm001Text22 = 22;

// One row of vm001.dbf; field "T01" + k - 1 is member k, in this order.
struct VM001Record {
  // T01 to T30
  long index;       // T01
  long status;      // T02
  long year;        // T03
  long day;         // T04
  long hour;        // T05
  long min;         // T06
  long used_year;   // T07
  long used_day;    // T08
  long pwd;         // T09
  long n_mbx;       // T10
  long mbx_ch_f;    // T11
  long mbx_ch_r;    // T12
  long p_mbx_f;     // T13
  long p_mbx_r;     // T14
  long type_alt;    // T15
  long type_tag;    // T16
  long type_ogm;    // T17
  long p_ogm1;      // T18
  long p_ogm2;      // T19
  long n_msg;       // T20
  long type_msg;    // T21
  long msg_ch_f;    // T22
  long msg_ch_r;    // T23
  long p_msg_f;     // T24
  long p_msg_r;     // T25
  long type_answr;  // T26
  long type_phone;  // T27
  long p_ogm3;      // T28
  long type_pager;  // T29
  long p_ogm4;      // T30
  // T31 to T40
  char phone[kVm001Text65];        // T31
  char pager[kVm001Text65];        // T32
  char text_opt1[kVm001Text65];    // T33
  char string65_4[kVm001Text65];   // T34
  char string65_5[kVm001Text65];   // T35
  char string65_6[kVm001Text65];   // T36
  char string65_7[kVm001Text65];   // T37
  char string65_8[kVm001Text65];   // T38
  char string65_9[kVm001Text65];   // T39
  char string65_10[kVm001Text65];  // T40
  // T41 to T44
  char string100_1[kVm001Text100];  // T41
  char string100_2[kVm001Text100];  // T42
  char string100_3[kVm001Text100];  // T43
  char string100_4[kVm001Text100];  // T44
  // T45 to T53
  char string30_1[kVm001Text30];  // T45
  char string30_2[kVm001Text30];  // T46
  char string30_3[kVm001Text30];  // T47
  char string30_4[kVm001Text30];  // T48
  char string30_5[kVm001Text30];  // T49
  char string30_6[kVm001Text30];  // T50
  char string30_7[kVm001Text30];  // T51
  char string30_8[kVm001Text30];  // T52
  char string30_9[kVm001Text30];  // T53
  // T54 to T58
  char string22_1[kVm001Text22];  // T54
  char string22_2[kVm001Text22];  // T55
  char string22_3[kVm001Text22];  // T56
  char string22_4[kVm001Text22];  // T57
  char string22_5[kVm001Text22];  // T58
  // T59 to T99
  long num10_1;  // T59
  long num10_2;  // T60
  long num10_3;  // T61
  long num10_4;  // T62
  long num10_5;  // T63
  long num10_6;  // T64
  long num6_1;   // T65
  long num6_2;   // T66
  long num6_3;   // T67
  long num6_4;   // T68
  long num4_1;   // T69
  long num4_2;   // T70
  long num4_3;   // T71
  long num4_4;   // T72
  long num4_5;   // T73
  long num4_6;   // T74
  long num4_7;   // T75
  long num4_8;   // T76
  long num4_9;   // T77
  long num4_10;  // T78
  long num2_1;   // T79
  long num2_2;   // T80
  long num2_3;   // T81
  long num2_4;   // T82
  long num2_5;   // T83
  long num1_1;   // T84
  long num1_2;   // T85
  long num1_3;   // T86
  long num1_4;   // T87
  long num1_5;   // T88
  long num1_6;   // T89
  long num1_7;   // T90
  long num1_8;   // T91
  long num1_9;   // T92
  long num1_10;  // T93
  long num1_11;  // T94
  long num1_12;  // T95
  long num1_13;  // T96
  long num1_14;  // T97
  long num1_15;  // T98
  long num1_16;  // T99
};

// Where member k of VM001Record lies: its name, offset and, for a text, its
// size (0 for an integer). Entry k - 1 describes field k ("T01" is 1).
struct VM001FieldInfo {
  const char* name;
  std::size_t offset;
  std::size_t text_size;
};
extern const VM001FieldInfo kVm001Fields[kVm001FieldCount];

class VM001File : public AlarmTable {
 public:
  // Opens the table at `path` at once (IsOpen() tells whether it worked).
  explicit VM001File(const char* path);
  VM001File(const VM001File&) = default;
  VM001File& operator=(const VM001File&) = default;
  ~VM001File() override = default;

  platform::Status Open(const char* path) override;

  // Reads record `record` (from 1) into `out`; fails only when no table is
  // open. Fields the table lacks, or that hold no number, read as 0 or
  // empty; a record that does not exist reads as blank. What cannot be read
  // is reported here (the table's line at level 3), as the record is read
  // on whatever it holds.
  platform::Status ReadRecord(long record, VM001Record& out);
};

}  // namespace alarms
