// The control channel (--control): the program that started the server
// (kestrel-arena) writes lines on the server's stdin. Only the parent holds
// that pipe, so nothing a player or a spectator sends can reach it; its end
// (the parent has gone, however it went) stops the server.
//
// Lines, one command each; anything else is ignored:
//   hello                 answered on the report channel (--report) with the
//                         server's version, protocol and commands, so that a
//                         parent learns at once what this server knows
//   announce GAME T0 N0 T1 N1
//                         game number GAME (the parent's) for the clients
//                         that connect to /seat/T0 (seat 0, shown as N0) and
//                         /seat/T1 (seat 1, N1); each token is good for one
//                         connection; names are percent-encoded UTF-8
//   seat TOKEN NAME       a player connecting to /seat/TOKEN is shown as NAME
//                         and joins the lobby like any other
//   standings JSON        the run's standings, shown as given
//   game JSON             one finished game of the run, shown as given
// The JSON is the parent's own, passed through to the page unparsed; a line
// with a control character is refused so it cannot break an event. An
// announcement that cannot be carried out is reported ("refused").
#pragma once

#include <string_view>

namespace kestrel::server {

class BoardFeed;
class GameReports;
class Seating;

struct ControlTargets {
  Seating& seating;
  BoardFeed& feed;
  GameReports& reports;
};

// Carries out one control line.
void apply_control_line(std::string_view line, const ControlTargets& targets);

}  // namespace kestrel::server
