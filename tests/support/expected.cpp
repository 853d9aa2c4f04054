#include "expected.h"

#include <array>
#include <cstdio>

namespace e2e {

const std::array<const char*, 16> kStepLabels = {
    " - Try unlock                   : ", " - Stop time               { 6} : ",
    " - Set output 1, minimum   { 7} : ", " - Set output 1, maximum   { 8} : ",
    " - Set output 1, puls len  { 9} : ", " - Set output 2, minimum   {10} : ",
    " - Set output 2, maximum   {11} : ", " - Set output 2, puls len  {12} : ",
    " - Set output 2, waittime  {13} : ", " - Set seconds             { 1} : ",
    " - Set minutes             { 2} : ", " - Set hours               { 3} : ",
    " - Set year                { 4} : ", " - Set month               { 5} : ",
    " - Set day                 { 6} : ", " - Try lock                     : ",
};

namespace {

std::string format(const char* pattern, unsigned a, unsigned b = 0, unsigned c = 0) {
  std::array<char, 128> text{};
  std::snprintf(text.data(), text.size(), pattern, a, b, c);
  return text.data();
}

}  // namespace

std::string summary(const Settings& s) {
  return " Opened COM port                : " + s.port + "\n" +
         format("                                  %u baud\n", s.baud) +
         format(" Timings: between chars         : %u ms\n", s.char_ms) +
         format("          between lines         : %u ms\n", s.line_ms) +
         format(" Time                           : %u:%u:%u\n", s.hour, s.minute, s.second) +
         format(" Date                           : %u\\%u\\%u\n", s.day, s.month, s.year + 2000) +
         format(" Out1                   minimum : %u\n", s.out1[0]) +
         format("                        maximum : %u\n", s.out1[1]) +
         format("                    puls length : %ux10ms=%ums\n", s.out1[2], s.out1[2] * 10) +
         format(" Out2                   minimum : %u\n", s.out2[0]) +
         format("                        maximum : %u\n", s.out2[1]) +
         format("                    puls length : %ux10ms=%ums\n", s.out2[2], s.out2[2] * 10) +
         format("                    waittime    : %ux10ms=%ums\n", s.out2[3], s.out2[3] * 10);
}

std::string usage_text(const std::string& program) {
  return "usage: " + program +
         " [-c commname] [-b baudrate] [-t time] [-d date] [-1 param] [-2 param] [-a chartime] "
         "[-l linetime]\n"
         "\n"
         " Options:\n"
         "\n"
         "  -c commname : name of comm port                 {default COM1}\n"
         "  -b baudrate : baudrate to use                   {default 9600}\n"
         "  -t time     : use given time in HH:MM:SS format\n"
         "  -d date     : use given date in DD\\MM\\YYY format\n"
         "  -1 param    : setup output 1, param in MIN,MAX,TTT format\n"
         "  -2 param    : setup output 2, param in MIN,MAX,TTT,WWW format\n"
         "  -a chartime : time in ms between each character {default 0ms }\n"
         "  -l linetime : time in ms between each line      {default 50ms}\n"
         "\n"
         "  HH:MM:SS Format\n"
         "   HH  : hour     between 0 and 23 with one or two digits\n"
         "   MM  : minutes  between 0 and 59 with one or two digits\n"
         "   SS  : seconds  between 0 and 59 with one or two digits\n"
         "\n"
         "  DD\\MM\\YYY Format\n"
         "   DD  : day      between 0 and 31  with one or two digits\n"
         "   MM  : month    between 0 and 12  with one or two digits\n"
         "   YYY : year     between 0 and 255 with one to three digits\n"
         "\n"
         "  MIN,MAX,TTT,WWW Format\n"
         "   MIN : minimum  between 0 and 255 with one to three digits\n"
         "   MAX : maximum  between 0 and 255 with one to three digits\n"
         "   TTT : time     between 0 and 255 with one to three digits (10ms)\n"
         "   WWW : time     between 0 and 255 with one to three digits (10ms)\n"
         "\n"
         "  When no time or/and date is given, the current local time will\n"
         "   be used.\n"
         "\n";
}

std::string sixteen_done() {
  std::string text = "Sending data\n";
  for (const char* label : kStepLabels) {
    text += std::string(label) + kDoneText;
  }
  return text + kAllDoneText;
}

std::array<std::string, 16> command_lines(const Settings& s) {
  const unsigned fields[16][2] = {
      {958, 1},        {6, 0},          {7, s.out1[0]},  {8, s.out1[1]},
      {9, s.out1[2]},  {10, s.out2[0]}, {11, s.out2[1]}, {12, s.out2[2]},
      {13, s.out2[3]}, {1, s.second},   {2, s.minute},   {3, s.hour},
      {4, s.year},     {5, s.month},    {6, s.day},      {958, 0}};
  std::array<std::string, 16> lines;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    lines[i] = format("%u:%u\r", fields[i][0], fields[i][1]);
  }
  return lines;
}

std::string clean_wire(const Settings& s) {
  std::string bytes;
  for (const std::string& line : command_lines(s)) {
    bytes += "\r" + line + "\r";
  }
  return bytes;
}

std::string loaded_state(const Settings& s) {
  std::array<char, 160> text{};
  std::snprintf(text.data(), text.size(),
                "clock %02u:%02u:%02u date %u\\%u\\%u running locked out1 %u,%u,%u out2 "
                "%u,%u,%u,%u",
                s.hour, s.minute, s.second, s.day, s.month, s.year + 2000, s.out1[0], s.out1[1],
                s.out1[2], s.out2[0], s.out2[1], s.out2[2], s.out2[3]);
  return text.data();
}

}  // namespace e2e
