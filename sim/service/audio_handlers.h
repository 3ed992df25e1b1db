// The machine's side of the audio client API: programs linked to the machine list subdevices, set
// mutes, and stream through wave pins and MIDI ports, each call run in the program's emulated
// process. A pin or port is an object in that process's handle table, so that the process's end
// (the connection's) closes it.
#pragma once

namespace q407::service {

class HandlerTable;

void AddAudioHandlers(HandlerTable& handlers);

}  // namespace q407::service
