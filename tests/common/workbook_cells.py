#!/usr/bin/env python3
"""Prints what openpyxl reads in a workbook, one line a sheet and one a cell:

    sheet <title> freeze=<cell> filter=<range>
    width <column letter> <width, rounded>
    <cell> <n|s|b|d|f>[ bold] <value>      (d: a date cell, shown yyyy-mm-dd hh:mm:ss)
"""
import sys

import openpyxl

book = openpyxl.load_workbook(sys.argv[1])
for sheet in book.worksheets:
    print(f"sheet {sheet.title} freeze={sheet.freeze_panes} filter={sheet.auto_filter.ref}")
    for letter, dimension in sorted(sheet.column_dimensions.items()):
        if dimension.width:
            print(f"width {letter} {round(dimension.width)}")
    for row in sheet.iter_rows():
        for cell in row:
            if cell.value is None:
                continue
            kind, value = cell.data_type, cell.value
            if cell.is_date:
                kind, value = "d", value.strftime("%Y-%m-%d %H:%M:%S")
            bold = " bold" if cell.font is not None and cell.font.b else ""
            print(f"{cell.coordinate} {kind}{bold} {value}")
