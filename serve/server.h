// The HTTP side of the browser host: the page files and the JSON API over a Session, one lock
// around the session, newest preview request first.
//
//   GET  /, /app.js, /style.css   the page
//   GET  /api/state               Session::State()
//   POST /api/set|add|remove|connect|disconnect|view   a JSON body; the new state
//   POST /api/save                writes the composition; {saved}
//   POST /api/key|rename|move|undo|redo                  a JSON body; the new state
//   GET  /api/render?node=N&frame=F&scale=S&format=png|rgba&alpha=keep|full&exposure=E&gamma=G
//        &client=C&gen=G
//        image/png or the canvas's RGBA bytes; 204 when a newer request of client C came in
//        meanwhile; errors as {error} with status 400 (a bad request) or 422 (the graph cannot
//        render)
//   GET  /api/pixel?node=N&frame=F&scale=S&x=X&y=Y     the exact samples of a pixel
//
// Every route answers only a request whose Host names this server (a loopback name, the address
// given to Bind or the one the connection arrived at) and that carries the session's token: the
// cookie the page gets when opened with ?token=TOKEN, an Authorization: Bearer TOKEN header or a
// ?token= parameter; else 403 with a sentence. Compressed request bodies are refused (415). Each
// request must arrive whole within a time limit (10 s unless set).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "session.h"

namespace orvanta::serve {

class Server {
 public:
  explicit Server(Session& session);
  ~Server();
  // Binds to host and port (0: any free port); returns the port. Throws Failure.
  int Bind(const std::string& host, int port);
  // The session's token: 32 hex digits drawn when the server is made.
  const std::string& Token() const;
  // The time a request may take to arrive, headers and body; before Run.
  void SetRequestTimeLimit(std::chrono::milliseconds limit);
  // Serves until Stop(); from another thread or a signal watcher.
  void Run();
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvanta::serve
