// Placeholder bodies while the client logic is written.
#include "client/application.h"
#include "client/news.h"
#include "client/prefs.h"
#include "client/task.h"
#include "client/views.h"
