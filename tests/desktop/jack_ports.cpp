// SPDX-License-Identifier: GPL-3.0-or-later
// Lists the JACK MIDI output ports a JACK client sees, one name a line, with
// the port's aliases after a tab: run under pw-jack it shows what
// PipeWire's JACK service makes of the graph's MIDI ports.
//
//   pw-jack jack_ports
//
// Exit status 0, or 1 when no JACK server (PipeWire's JACK service) answers.
#include <jack/jack.h>
#include <jack/midiport.h>

#include <cstdio>
#include <cstdlib>

int main() {
  jack_status_t status{};
  jack_client_t* client = jack_client_open("plinkora-port-list", JackNoStartServer, &status);
  if (!client) {
    std::fprintf(stderr, "jack_ports: no JACK server (status 0x%x)\n", unsigned(status));
    return 1;
  }
  const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
  for (const char** p = ports; p && *p; ++p) {
    std::printf("%s", *p);
    jack_port_t* port = jack_port_by_name(client, *p);
    char* aliases[2] = {static_cast<char*>(std::calloc(jack_port_name_size(), 1)),
                        static_cast<char*>(std::calloc(jack_port_name_size(), 1))};
    const int n = port ? jack_port_get_aliases(port, aliases) : 0;
    for (int i = 0; i < n; ++i) std::printf("\t%s", aliases[i]);
    std::printf("\n");
    std::free(aliases[0]);
    std::free(aliases[1]);
  }
  if (ports) jack_free(ports);
  jack_client_close(client);
  return 0;
}
