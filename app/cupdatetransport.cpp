#include "app/cupdatetransport.h"

CUpdateTransport::CUpdateTransport(QObject *parent)
    : QObject(parent)
{
}

CUpdateTransport::~CUpdateTransport() = default;
