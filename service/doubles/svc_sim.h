// The simulation build of the service ends when this event is set.
#pragma once
#define SVC_SIM_STOP_EVENT L"Quorvane_Svc_sim_stop"
