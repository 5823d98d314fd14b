// The job command's command line: its help text, and the options read
// into the request and the reader's options before the file is planned.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "command.h"
#include "handlers.h"
#include "job.h"
#include "units.h"

namespace {

bool ParseNumber(const std::string& text, double* value)
{
    char* end = nullptr;
    *value = strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size() && std::isfinite(*value);
}

// A distance of --fit or --origin. Bare numbers are tenths of a mil, as
// everywhere in zrqctl; one that makes less than a tenth of an inch is far
// more likely a forgotten unit ("--fit 8x6") than meant, and is refused.
bool ParsePlacement(const std::string& text, int32_t* value, std::string* why)
{
    if (!ParseDistance(text, value, why))
        return false;
    bool unit = text.find_first_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ")
        != std::string::npos;
    if (!unit && *value != 0 && *value > -1000 && *value < 1000) {
        *why = "'" + text + "' is " + std::to_string(*value)
            + " tenths of a mil; give a unit (in, mm, mil)";
        return false;
    }
    return true;
}

// "A,B" or "AxB" as two distances.
bool ParsePair(const std::string& text, char separator, int32_t* a, int32_t* b, std::string* why)
{
    // The separator after a digit or unit; "4inx3in" splits at its last x.
    size_t at = text.rfind(separator);
    if (at == std::string::npos || at == 0 || at + 1 >= text.size()) {
        *why = std::string("needs two distances joined by '") + separator + "'";
        return false;
    }
    return ParsePlacement(text.substr(0, at), a, why)
        && ParsePlacement(text.substr(at + 1), b, why);
}

}  // namespace

const char kJobHelp[] = "FILE [options]  plan, preview and run a G-code or SVG file (job --help)";

namespace {

const char kJobUsage[]
    = "usage: zrqctl init job FILE [options]\n"
      "\n"
      "Reads the whole file, plans it for the box and prints the plan; refuses,\n"
      "before anything is sent, what the box cannot do; then streams the moves.\n"
      "Ctrl-C sends the emergency stop.\n"
      "\n"
      "General options:\n"
      "  --dry-run           plan and print only (no box needed)\n"
      "  --preview OUT.svg   draw the plan: drawn moves black, travel red\n"
      "  --format gcode|svg  the kind of file; by default from its extension\n"
      "                      (.gcode .gco .g .nc .ngc .cnc .tap .txt, .svg), else its content\n"
      "  --tool pen|laser|mill\n"
      "                      pen: the pen down on drawn moves only, never on travel;\n"
      "                      laser: on only on drawn moves with power, off on travel;\n"
      "                      mill: Z is an axis (G-code without --tool: mill when the\n"
      "                      file moves Z, else pen)\n"
      "  --feed IPM          in/min of moves without a feed of their own (default 20)\n"
      "  --rapid IPM         in/min of travel and G0 (default 100)\n"
      "  --tolerance D       largest chord error of curves (default 0.001in)\n"
      "  --scale S  --fit WxH  --origin X,Y\n"
      "                      scale, fit into WxH, or put the drawing's lower left at X,Y\n"
      "  --steps X,Y[,Z]     steps in 1e-8 in, for a box that reports none\n"
      "  --no-pause          run through the pauses (the plan says how many)\n"
      "\n"
      "G-code options:\n"
      "  --units in|mm       units of a file that sets neither G20 nor G21 (default mm)\n"
      "  --pen-z D           pen: below this Z the pen is down (default 0); Z is not sent\n"
      "  --optional-stop     M1 pauses as M0 does (default: M1 is ignored)\n"
      "  --ignore-unknown    pass over M words and letters of no known meaning (listed);\n"
      "                      words that change where the tool goes are never passed over\n"
      "\n"
      "Pauses (M0, M1 with --optional-stop, M6): the stream stops once the box has\n"
      "done the moves before, the pen goes up or the laser off, the line's comment\n"
      "and the tool number are shown, and Enter goes on. A file that pauses needs a\n"
      "terminal on standard input, or --no-pause. zrqctl(1) lists the G-code words.\n"
      "\n"
      "SVG options:\n"
      "  --layers            list the layers (top-level groups): label, visibility,\n"
      "                      drawn length; then stop\n"
      "  --layer NAME        only this layer; repeat it for more, drawn in that order\n"
      "  --pause-between-layers\n"
      "                      pause before each next layer (pen up, Enter goes on)\n"
      "  --optimize          reorder and reverse the strokes within each layer for\n"
      "                      shorter pen-up travel; join those whose ends meet\n"
      "  --ignore-unknown    skip (and list) text, images and foreign objects\n"
      "docs/svg.md lists what SVG files draw, skip and refuse.\n";

}  // namespace

void PrintJobHelp()
{
    fputs(kJobUsage, stdout);
}

bool ReadOptions(const Command& c, JobRequest* request, job::ParseOptions* parse, std::string* why)
{
    request->dryRun = c.Has("--dry-run");
    request->noPause = c.Has("--no-pause");
    parse->ignoreUnknown = c.Has("--ignore-unknown");
    request->listLayers = parse->listLayers = c.Has("--layers");
    request->pauseBetweenLayers = c.Has("--pause-between-layers");
    request->optimize = c.Has("--optimize");
    for (const auto& given : c.flags)
        if (given.first == "--layer" && given.second >= 0
            && given.second < static_cast<int32_t>(c.texts.size()))
            parse->layers.push_back(c.texts[static_cast<size_t>(given.second)]);
    request->layers = parse->layers;
    parse->optionalStop = c.Has("--optional-stop");
    if (const std::string* text = c.FlagText("--format")) {
        if (*text != "gcode" && *text != "svg") {
            *why = "--format '" + *text + "': must be gcode or svg";
            return false;
        }
        parse->format = *text == "svg" ? job::InputFormat::Svg : job::InputFormat::Gcode;
    }
    if (const std::string* text = c.FlagText("--units")) {
        if (*text != "in" && *text != "mm") {
            *why = "--units '" + *text + "': must be in or mm";
            return false;
        }
        parse->inchesAssumed = *text == "in";
    }
    if (c.Has("--pen-z")) {
        parse->penZ = c.Flag("--pen-z") / 10000.0;
        if (c.FlagText("--tool") == nullptr) {
            request->toolGiven = parse->toolGiven = true;
            request->tool = parse->tool = job::Tool::Pen;
        }
    }
    if (const std::string* text = c.FlagText("--preview"))
        request->previewPath = *text;
    if (c.Has("--tolerance")) {
        if (c.Flag("--tolerance") <= 0) {
            *why = "--tolerance: must be more than 0";
            return false;
        }
        parse->tolerance = c.Flag("--tolerance") / 10000.0;
    }
    if (const std::string* text = c.FlagText("--tool")) {
        if (*text != "pen" && *text != "laser" && *text != "mill") {
            *why = "--tool '" + *text + "': must be pen, laser or mill";
            return false;
        }
        request->tool = *text == "pen" ? job::Tool::Pen
            : *text == "laser"         ? job::Tool::Laser
                                       : job::Tool::Mill;
        request->toolGiven = parse->toolGiven = true;
        parse->tool = request->tool;
    }
    double number = 0;
    for (const char* name : {"--feed", "--rapid"})
        if (const std::string* text = c.FlagText(name)) {
            if (!ParseNumber(*text, &number) || number < 1) {
                *why = std::string(name) + " '" + *text + "': inches per minute, 1 or more";
                return false;
            }
            (strcmp(name, "--feed") == 0 ? request->feedIpm : request->rapidIpm) = number;
        }
    if (const std::string* text = c.FlagText("--scale")) {
        if (!ParseNumber(*text, &number) || number <= 0) {
            *why = "--scale '" + *text + "': a factor more than 0";
            return false;
        }
        request->scale = number;
    }
    if (const std::string* text = c.FlagText("--fit")) {
        if (!ParsePair(*text, 'x', &request->fitWidth, &request->fitHeight, why)
            || request->fitWidth <= 0 || request->fitHeight <= 0) {
            *why = "--fit '" + *text + "': " + (why->empty() ? "sizes more than 0" : *why);
            return false;
        }
        request->fit = true;
    }
    if (const std::string* text = c.FlagText("--origin")) {
        if (!ParsePair(*text, ',', &request->originX, &request->originY, why)) {
            *why = "--origin '" + *text + "': " + *why;
            return false;
        }
        request->origin = true;
    }
    if (const std::string* text = c.FlagText("--steps")) {
        int n = 0;
        size_t from = 0;
        while (n < 3) {
            size_t comma = text->find(',', from);
            std::string part = text->substr(from, comma - from);
            if (!ParseNumber(part, &number) || number < 1000 || number > 10000000) {
                *why = "--steps '" + *text + "': X,Y[,Z], each 1000 to 10000000";
                return false;
            }
            request->steps[n++] = static_cast<int32_t>(number);
            if (comma == std::string::npos)
                break;
            from = comma + 1;
        }
        if (n < 2) {
            *why = "--steps '" + *text + "': X,Y[,Z]";
            return false;
        }
    }
    return true;
}
