// Defaults of a freshly created port record.

#include <ntddk.h>

#include "port/port.h"

VOID QuarvexPortSetDefaults(PortDeviceRecord* Port, PDEVICE_OBJECT DeviceObject,
                            PDEVICE_OBJECT PhysicalDeviceObject)
{
    Port->DeviceObject = DeviceObject;
    Port->PhysicalDeviceObject = PhysicalDeviceObject;
    Port->OutstandingIo = 1; // the device's own reference, dropped by removal
    KeInitializeEvent(&Port->RemoveEvent, NotificationEvent, FALSE);
    Port->Queues[0] = &Port->WriteQueue;
    Port->Queues[1] = &Port->MaskQueue;
    Port->Queues[2] = &Port->ReadQueue;
    Port->Queues[3] = &Port->PurgeQueue;
    KeInitializeSpinLock(&Port->PortLock);

    Port->BaudRate = DEFAULT_BAUD_RATE;
    Port->SerialChars.XonChar = 0x11;
    Port->SerialChars.XoffChar = 0x13;
    Port->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    Port->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    Port->DataMask = DEFAULT_DATA_MASK;
    Port->SavedLcr = DEFAULT_SAVED_LCR;

    Port->IntervalCutOver = 200000000LL;    // 20 s
    Port->LongIntervalPeriod = -10000000LL; // 1 s
    Port->ShortIntervalPeriod = -1;         // the next clock tick
}
