#include "Vant/Synchronization/PeerSynchronizer.h"
