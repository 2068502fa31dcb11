#include "programmerport.h"

#include <vacomm.h>

void SetUpProgrammerPort(TVaCustomComm& port)
{
    port.SetBaudrate(br9600);
    port.SetMonitorEvents({ceRxChar});
    port.SetFlowControl(fcNone);
    port.SetDTRControl(dtrDisable);
    port.SetRTSControl(rtsDisable);
}
