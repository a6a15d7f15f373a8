#include "AppEvents.h"

#include "Application.h"

namespace qf {

TAppEvents::TAppEvents() { Application().AddAppEvents(this); }

TAppEvents::~TAppEvents() { Application().RemoveAppEvents(this); }

void TAppEvents::FireActivate() {
  // A copy, so the handler may detach itself while it runs.
  const TNotifyEvent handler = OnActivate;
  if (handler) Application().Dispatch([&] { handler(this); });
}

}  // namespace qf
