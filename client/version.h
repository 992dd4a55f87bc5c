// Product version; also read by the Windows resource script.
#pragma once

#define RELVO_VERSION_TEXT "2.0.0.19"
#define RELVO_VERSION_COMMAS 2, 0, 0, 19
#define RELVO_PRODUCT_NAME "relvoclient"
