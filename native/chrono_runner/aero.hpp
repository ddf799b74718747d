// Speed-dependent aerodynamic drag and axle lifts acting on the chassis, in the chassis frame.
#pragma once

#include "chrono/physics/ChBody.h"
#include "chrono_vehicle/ChChassis.h"

namespace velmor {

class AeroLoad : public chrono::vehicle::ChChassis::ExternalForceTorque {
public:
    AeroLoad(double cd, double cl_front, double cl_rear, double area, double rho,
             chrono::ChVector3d com, double x_front, double x_rear)
        : ExternalForceTorque("velmor aero"),
          m_cd(cd),
          m_clf(cl_front),
          m_clr(cl_rear),
          m_area(area),
          m_rho(rho),
          m_com(com),
          m_xf(x_front),
          m_xr(x_rear) {}

    void Update(double, const chrono::vehicle::ChChassis &chassis, chrono::ChVector3d &force,
                chrono::ChVector3d &point, chrono::ChVector3d &torque) override {
        auto body = chassis.GetBody();
        chrono::ChVector3d vel = body->TransformDirectionParentToLocal(body->GetLinVel());
        double u = vel.x();
        double q = 0.5 * m_rho * u * u * m_area;
        double drag = -q * m_cd * (u >= 0 ? 1.0 : -1.0);
        double lift_f = q * m_clf;
        double lift_r = q * m_clr;
        force = chrono::ChVector3d(drag, 0, lift_f + lift_r);
        point = m_com;
        // The axle lifts act at the axles: their moment about the COM pitches the body.
        torque =
            chrono::ChVector3d(0, -(lift_f * (m_xf - m_com.x()) + lift_r * (m_xr - m_com.x())), 0);
        last_drag = drag;
        last_lift = lift_f + lift_r;
    }

    double last_drag = 0;
    double last_lift = 0;

private:
    double m_cd, m_clf, m_clr, m_area, m_rho;
    chrono::ChVector3d m_com;
    double m_xf, m_xr;
};

}  // namespace velmor
