#pragma once
// The controller in a browser: a page served by the program (web/page.html)
// that shows the four channels as sliders, the last response, the error log
// and the roads, follows every change from any road through a WebSocket, and
// runs scripts. Off unless WEB_PORT is set in LED_CONFIG.TXT; WEB_HOST is the
// address served (127.0.0.1 unless set; any other only with WEB_PASSWORD_FILE).
//
// What a page sends on its socket (JSON text):
//   {"type":"level","index":0..3,"value":0..500,"tie":bool}  a slider: answered
//       as "LED <ch> <value>" is; a channel's later value replaces one still queued
//   {"type":"exec","id":n,"script":"LED R 100;Ver"}  answered {"type":"result","id":n,"text":...}
// What it gets: {"type":"levels","levels":[r,g,b,a]} after each confirmed
// intensity; {"type":"info","response","errors","roads","name"} when any of
// them changed; {"type":"refused","id":n,"text":...} for a request not run.
// POST /exec with the page's token runs the body as a script and answers it
// as plain text (413, 503 and the other refusals as their status).
#include <QString>

namespace Roads {
class Road;
}

namespace OrvaneWeb {

// The web road as the core tells and asks it (Roads.h): it starts and stops
// with the program, restarts when the settings are reloaded and pushes each
// confirmed intensity to every page at once.
Roads::Road& WebRoad();

// The address served, "http://127.0.0.1:8080/"; empty while the road is off.
QString Address();

} // namespace OrvaneWeb
