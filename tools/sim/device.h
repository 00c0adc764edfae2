#pragma once
// One simulated device behind one listening port. The simulator accepts the
// connections and hands each to its device on a thread of its own; the
// control channel changes and queries devices through this interface.
#include <string>
#include <string_view>

#include "net.h"
#include "request_log.h"

namespace sim {

class Device {
 public:
  virtual ~Device() = default;

  // The word that names the kind in the port lines and control commands
  // ("camera", "videoserver"); ids are unique within a kind.
  virtual const char* kind() const = 0;
  virtual int id() const = 0;
  // The port asked for at start (0: any).
  virtual int wanted_port() const = 0;
  // While dead the device's port refuses connections.
  virtual bool dead() const = 0;
  // While a black hole the port takes no connection: its backlog is kept
  // full and never accepted, so a connect hangs until the client gives up.
  virtual bool blackhole() const { return false; }

  // Runs one accepted connection to its end.
  virtual void Serve(Fd connection) = 0;

  // Applies a "key=value,..." list at run time; false with a message.
  virtual bool Set(std::string_view keys, std::string* error) = 0;
  // Ends every misbehaviour.
  virtual void Clear() = 0;
  // Counters as "name=value" items separated by blanks.
  virtual std::string Stats() const = 0;
  // Ends every open connection and refuses new ones; before destruction.
  virtual void Stop() = 0;
  // Every request received, as received.
  virtual const RequestLog& requests() const = 0;
};

}  // namespace sim
