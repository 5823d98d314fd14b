// What the operator sees before the machine moves: the plan as text and as a
// drawing.
#include <math.h>
#include <stdio.h>

#include <algorithm>
#include <string>

#include "tools/job/job.h"

namespace job {

namespace {

std::string Format(const char* format, double a, double b)
{
    char text[96];
    snprintf(text, sizeof text, format, a, b);
    return text;
}

}  // namespace

// Y is negated (SVG grows down); coordinates are inches to four places, so
// every tenth of a mil of the plan is in the file.
std::string PreviewSvg(const Plan& plan, const Point& start)
{
    double low[2] = {start.x, start.y}, high[2] = {start.x, start.y};
    if (plan.segments > 0)
        for (int i = 0; i < 2; ++i) {
            low[i] = std::min(low[i], plan.low[i] / 10000.0);
            high[i] = std::max(high[i], plan.high[i] / 10000.0);
        }
    double margin = std::max(0.05, std::max(high[0] - low[0], high[1] - low[1]) * 0.02);
    double width = high[0] - low[0] + 2 * margin, height = high[1] - low[1] + 2 * margin;
    char head[512];
    snprintf(head, sizeof head,
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.4fin\" height=\"%.4fin\" "
        "viewBox=\"%.4f %.4f %.4f %.4f\">\n"
        "<title>Job plan, inches: drawn black, travel red</title>\n",
        width, height, low[0] - margin, -high[1] - margin, width, height);
    std::string drawn, travel, dots;
    double x = start.x, y = start.y;
    bool drawnOpen = false;
    for (size_t i = 0; i < plan.ops.size(); ++i) {
        const Op& op = plan.ops[i];
        // A dot the pen makes in place: a small ring, visible at any zoom.
        if (op.kind == OpKind::ToolOff && i > 0 && plan.ops[i - 1].kind == OpKind::ToolOn)
            dots += Format("<circle cx=\"%.4f\" cy=\"%.4f\" r=\"0.005\"/>", x, 0.0 - y);
        if (op.kind == OpKind::Home) {
            travel += Format(" M%.4f %.4f", x, 0.0 - y) + " L0 0";
            x = y = 0;
            drawnOpen = false;
            continue;
        }
        if (op.kind != OpKind::Move && op.kind != OpKind::MoveAbs)
            continue;
        double nx = op.x / 10000.0, ny = op.y / 10000.0;
        if (op.drawn) {
            if (!drawnOpen)
                drawn += Format(drawn.empty() ? "M%.4f %.4f" : " M%.4f %.4f", x, 0.0 - y);
            drawn += Format(" L%.4f %.4f", nx, 0.0 - ny);
            drawnOpen = true;
        } else {
            travel += Format(" M%.4f %.4f", x, 0.0 - y) + Format(" L%.4f %.4f", nx, 0.0 - ny);
            drawnOpen = false;
        }
        x = nx;
        y = ny;
    }
    std::string svg = head;
    svg += "<path id=\"travel\" fill=\"none\" stroke=\"red\" stroke-width=\"1\" "
           "stroke-dasharray=\"4 3\" vector-effect=\"non-scaling-stroke\" d=\""
        + travel + "\"/>\n";
    svg += "<path id=\"drawn\" fill=\"none\" stroke=\"black\" stroke-width=\"1\" "
           "vector-effect=\"non-scaling-stroke\" d=\""
        + drawn + "\"/>\n";
    if (!dots.empty())
        svg += "<g id=\"dots\" fill=\"none\" stroke=\"black\" stroke-width=\"1\" "
               "vector-effect=\"non-scaling-stroke\">"
            + dots + "</g>\n";
    svg += "</svg>\n";
    return svg;
}

std::string Summary(const Plan& plan, const std::string& unit)
{
    double per = unit == "mm" ? 25.4 / 10000.0 : 1 / 10000.0;
    const char* fmt = unit == "mm" ? "%.3f" : "%.4f";
    auto number = [&](double v) {
        char text[48];
        snprintf(text, sizeof text, fmt, v);
        return std::string(text);
    };
    std::string text;
    for (const std::string& note : plan.notes)
        text += note + "\n";
    long moves = 0, drawnMoves = 0;
    for (const Op& op : plan.ops)
        if (op.kind == OpKind::Move || op.kind == OpKind::MoveAbs) {
            ++moves;
            drawnMoves += op.drawn ? 1 : 0;
        }
    text += "segments " + std::to_string(plan.segments) + " (" + std::to_string(drawnMoves)
        + " drawn, " + std::to_string(moves - drawnMoves) + " travel)"
        + (plan.dots > 0 ? ", dots " + std::to_string(plan.dots) : "") + "\n";
    if (plan.segments > 0) {
        text += "bounds X " + number(plan.low[0] * per) + " .. " + number(plan.high[0] * per)
            + "  Y " + number(plan.low[1] * per) + " .. " + number(plan.high[1] * per);
        if (plan.usesZ)
            text += "  Z " + number(plan.low[2] * per) + " .. " + number(plan.high[2] * per);
        text += " " + unit + "\n";
    }
    text += "length drawn " + number(plan.drawnInches * 10000 * per) + " " + unit + ", travel "
        + number(plan.travelInches * 10000 * per) + " " + unit + "\n";
    char line[200];
    if (plan.countsKnown) {
        snprintf(line, sizeof line,
            "wire %ld frames (%ld compact), %ld bytes to the box, %.2f s at 38400 baud\n",
            plan.frames, plan.compactFrames, plan.bytesToBox, plan.wireSeconds);
        text += line;
        snprintf(line, sizeof line, "estimate %.1f s (moves at their feeds %.1f s)\n",
            plan.estimateSeconds, plan.motionSeconds);
    } else {
        snprintf(line, sizeof line,
            "estimate %.1f s of moves at their feeds; frames and bytes need the box's steps\n",
            plan.motionSeconds);
    }
    text += line;
    return text;
}

}  // namespace job
