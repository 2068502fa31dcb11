#include "conversation.h"
