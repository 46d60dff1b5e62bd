#pragma once

#include "ComException.h"
#include "ExceptionReport.h"

#include <exception>
#include <utility>

namespace zan {

// Runs the body of an automation method (returning its HRESULT) so that no
// exception leaves the control: each kind is reported as ExceptionReport.h
// describes and turned into the method's result. `operationName` names the
// method in the reports, e.g. u"CZAN_Tunnel::Start".
template <class Body>
HRESULT InvokeWithinBoundary(const char16_t* operationName, Body&& body)
{
    try {
        return std::forward<Body>(body)();
    } catch (const base_exception& e) {
        return ReportException(e);
    } catch (const std::exception& e) {
        return ReportStandardException(e);
    } catch (const ComException& e) {
        return ReportComException(operationName, e);
    } catch (...) {
        return ReportUnknownException(operationName);
    }
}

} // namespace zan
