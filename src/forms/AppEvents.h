// The application-events hook a form drops on itself: tells when the
// application becomes active (another program's window was active before).
#pragma once

#include "Component.h"

namespace qf {

class TAppEvents : public TComponent {
 public:
  TAppEvents();
  ~TAppEvents() override;

  // May be emptied from inside the handler (a set-up that runs once).
  TNotifyEvent OnActivate;

  // Runs OnActivate through the application's handler dispatch.
  void FireActivate();
};

}  // namespace qf
